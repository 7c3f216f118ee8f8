// The serial settings dialog: the port and its line settings in six lists.
//
// It runs modally on the user-interface thread. OK stores the choices in
// Settings (the file is written only by SAVE), reopens the port when another
// one was chosen or the port is not open, and applies the line settings.
#include "dialogs.h"
#include "../res/resource.h"
#include "../serial/serial.h"
#include "../shell/shell.h"

#include <iterator>

static const char *const BaudTexts[] = {"50", "75", "110", "135", "150", "300", "600", "1200", "1800", "2000",
                                        "2400", "3600", "4800", "7200", "9600", "19200", "38400", "57600",
                                        "115200", "230400", "460800"};
static const int32_t BaudValues[] = {50, 75, 110, 135, 150, 300, 600, 1200, 1800, 2000, 2400,
                                     3600, 4800, 7200, 9600, 19200, 38400, 57600, 115200, 230400, 460800};
static const char *const BitTexts[] = {"5", "6", "7", "8"};
static const uint8_t BitValues[] = {5, 6, 7, 8};
static const char *const ParityTexts[] = {"none", "odd", "even"};
static const char *const StopTexts[] = {"1", "1.5", "2"};
static const char *const FlowTexts[] = {"none", "hardware(RTS)", "hardware(DTR)", "Xon/Xoff(x13)", "Xon/Xoff(x93)"};

static_assert(std::size(BaudTexts) == std::size(BaudValues));
static_assert(std::size(BitTexts) == std::size(BitValues));

constexpr int NoSelection = CB_ERR;

int SerialListIndex(const int32_t *values, int count, int32_t value)
{
    for (int i = 0; i < count; ++i) {
        if (values[i] == value)
            return i;
    }
    return NoSelection;
}

static void FillList(HWND dialog, int control, const char *const *texts, int count, int selected)
{
    for (int i = 0; i < count; ++i)
        SendDlgItemMessageA(dialog, control, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(texts[i]));
    // An index outside the list selects nothing.
    SendDlgItemMessageA(dialog, control, CB_SETCURSEL, selected >= 0 && selected < count ? selected : -1, 0);
}

// The selected position, or -1 when none is selected.
static int Selection(HWND dialog, int control)
{
    return static_cast<int>(SendDlgItemMessageA(dialog, control, CB_GETCURSEL, 0, 0));
}

static void OnInit(HWND dialog)
{
    FillList(dialog, IDC_SERIAL_PORT, PortNameTable, PortCount, Settings.COM);
    FillList(dialog, IDC_SERIAL_BPS, BaudTexts, std::size(BaudTexts),
             SerialListIndex(BaudValues, std::size(BaudValues), Settings.BPS));
    int32_t bits[std::size(BitValues)];
    for (size_t i = 0; i < std::size(BitValues); ++i)
        bits[i] = BitValues[i];
    FillList(dialog, IDC_SERIAL_BITS, BitTexts, std::size(BitTexts),
             SerialListIndex(bits, std::size(bits), Settings.BIT));
    FillList(dialog, IDC_SERIAL_PARITY, ParityTexts, std::size(ParityTexts), Settings.PARI);
    FillList(dialog, IDC_SERIAL_STOP, StopTexts, std::size(StopTexts), Settings.STOP);
    FillList(dialog, IDC_SERIAL_FLOW, FlowTexts, std::size(FlowTexts), Settings.FLOW);
}

// A list left without a selection keeps the field as it was.
static void OnOk(HWND dialog)
{
    int previous = Settings.COM;
    int port = Selection(dialog, IDC_SERIAL_PORT);
    int com = port == NoSelection ? previous : port;
    // A port that went away is opened anew, even when its dead handle is
    // still about. The reopen stores the choice once the old port is closed.
    if (com != previous || !PortIsOpen(PortHandle) || PortLost) {
        if (ReopenSerialPort(com) != 0) {
            EndDialog(dialog, IDCANCEL);
            return;
        }
    }
    if (int i = Selection(dialog, IDC_SERIAL_BPS); i != NoSelection)
        Settings.BPS = BaudValues[i];
    if (int i = Selection(dialog, IDC_SERIAL_BITS); i != NoSelection)
        Settings.BIT = BitValues[i];
    if (int i = Selection(dialog, IDC_SERIAL_PARITY); i != NoSelection)
        Settings.PARI = static_cast<uint8_t>(i);
    if (int i = Selection(dialog, IDC_SERIAL_STOP); i != NoSelection)
        Settings.STOP = static_cast<uint8_t>(i);
    if (int i = Selection(dialog, IDC_SERIAL_FLOW); i != NoSelection)
        Settings.FLOW = i;
    ConfigureSerialPort();
    EndDialog(dialog, IDOK);
}

INT_PTR CALLBACK SerialDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        OnInit(dialog);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK)
            OnOk(dialog);
        else if (LOWORD(wParam) == IDCANCEL)
            EndDialog(dialog, IDCANCEL);
        return FALSE;
    default:
        return FALSE;
    }
}
