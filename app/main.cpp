// Entry point: registers the window class, creates the main window from its
// template (the start sequence runs inside that call) and runs the message
// loop of the user-interface thread until the shutdown posts WM_QUIT.
#include "app.h"
#include "../res/resource.h"
#include "../translog/translog.h"

static const char RegisterClassFailedText[] = "ウインドウクラスを登録できませんでした";
static const char CreateWindowFailedText[] = "メインウインドウを作成できませんでした";

// The class is registered as the program's own, though the main window is of
// the system dialog class: its template names no class.
static bool RegisterMainClass()
{
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = DefDlgProcA;
    windowClass.cbWndExtra = DLGWINDOWEXTRA;
    windowClass.hInstance = AppInstance;
    windowClass.hIcon = LoadProgramIcon();
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = MainWindowClass;
    return RegisterClassA(&windowClass) != 0;
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand)
{
    AppInstance = instance;
    if (!RegisterMainClass()) {
        MessageBoxA(nullptr, RegisterClassFailedText, MessageCaption, MB_OK | MB_ICONERROR);
        return 0;
    }
    HWND window = CreateDialogParamA(AppInstance, MAKEINTRESOURCEA(IDD_DIALOG_MAIN), nullptr,
                                     MainWindowProc, 0);
    if (window == nullptr) {
        MessageBoxA(nullptr, CreateWindowFailedText, MessageCaption, MB_OK | MB_ICONERROR);
        return 0;
    }
    MainWindow = window;
    ShowWindow(window, showCommand);
    UpdateWindow(window);

    MSG message = {};
    // GetMessage gives -1 when it fails; that ends the loop rather than spin.
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        // The log windows get the dialog keys too: Esc closes them.
        if (IsLogWindowMessage(&message) || IsDialogMessageA(window, &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    EndDataThreads();
    return static_cast<int>(message.wParam);
}
