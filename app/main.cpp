// Entry point: registers the window class, creates the main window from its
// template (the start sequence runs inside that call) and runs the message
// loop of the user-interface thread until the shutdown posts WM_QUIT.
#include "app.h"
#include "../history/history.h"
#include "../res/resource.h"
#include "../translog/translog.h"
#include "../util/util.h"

#include <string>

static const char RegisterClassFailedText[] = "ウインドウクラスを登録できませんでした";
static const char CreateWindowFailedText[] = "メインウインドウを作成できませんでした";

// The class is registered as the program's own, though the main window is of
// the system dialog class: its template names no class.
static bool RegisterMainClass()
{
    std::wstring className = WideText(MainWindowClass);     // copied by the registration
    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = DefDlgProcW;
    windowClass.cbWndExtra = DLGWINDOWEXTRA;
    windowClass.hInstance = AppInstance;
    windowClass.hIcon = LoadProgramIcon();
    // IDC_ARROW is a number, whichever width the call takes.
    windowClass.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = className.c_str();
    return RegisterClassW(&windowClass) != 0;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand)
{
    AppInstance = instance;
    if (!RegisterMainClass()) {
        ShowMessage(nullptr, RegisterClassFailedText, MB_OK | MB_ICONERROR);
        return 0;
    }
    HWND window = CreateDialogParamW(AppInstance, MAKEINTRESOURCEW(IDD_DIALOG_MAIN), nullptr,
                                     MainWindowProc, 0);
    if (window == nullptr) {
        ShowMessage(nullptr, CreateWindowFailedText, MB_OK | MB_ICONERROR);
        return 0;
    }
    MainWindow = window;
    ShowWindow(window, showCommand);
    UpdateWindow(window);

    MSG message = {};
    // GetMessage gives -1 when it fails; that ends the loop rather than spin.
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        // The log windows get the dialog keys too: Esc closes them.
        if (IsLogWindowMessage(&message) || IsDialogMessageW(window, &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    EndDataThreads();
    StopHistory(HistoryStopWaitMs);     // what waits is written, within the limit
    return static_cast<int>(message.wParam);
}
