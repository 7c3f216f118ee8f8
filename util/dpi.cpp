// The display's dots per inch and the scaling of pixel sizes to it. The
// first caller asks the screen; the value is then fixed for the run: a
// system-DPI-aware process (Quillmar's manifest makes it one) keeps the DPI
// it started with. Any thread may call; only the user-interface thread does.
#include "util.h"

int ScaleForDpi(int value, int dpi)
{
    return MulDiv(value, dpi, DesignDpi);
}

// GetDeviceCaps on the screen works on every Windows the program runs on;
// GetDpiForWindow would need Windows 10 and, for a system-aware program,
// gives the same figure.
static int AskDisplayDpi()
{
    HDC screen = GetDC(nullptr);
    if (screen == nullptr)
        return DesignDpi;
    int dpi = GetDeviceCaps(screen, LOGPIXELSY);
    (void)ReleaseDC(nullptr, screen);
    return dpi > 0 ? dpi : DesignDpi;
}

int DisplayDpi()
{
    static const int dpi = AskDisplayDpi();
    return dpi;
}

int ScaleToDisplay(int value)
{
    return ScaleForDpi(value, DisplayDpi());
}
