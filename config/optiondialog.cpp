// The option dialog: automatic connection, the rate display period and the
// time tags, and the button that places the start-up shortcut.
//
// The dialog runs modally on the user-interface thread and writes Settings
// on OK, field by field: a number that is refused stops OK where it stands,
// and the fields stored before it stay stored (a later Cancel keeps them).
// The data threads and the clock read the fields they use at their next
// look. The boxes that refuse a number are owned by the dialog, so that it
// stays disabled, and so cannot be confirmed or closed again, while one is up.
#include "config.h"
#include "../app/app.h"
#include "../res/resource.h"

static const char RateInvalidText[] = "転送Rateが不正です。1～60を入力してください。";
static const char TagTimeoutInvalidText[] = "通信付加までのタイムアウトが不正です。1～3600を入力してください。";

// Both OK and Cancel end the dialog with this; the caller does not use it.
constexpr INT_PTR OptionDialogResult = 2;

static int32_t Ticked(HWND dialog, int control)
{
    return IsDlgButtonChecked(dialog, control) == BST_CHECKED ? 1 : 0;
}

static void Tick(HWND dialog, int control, int32_t flag)
{
    CheckDlgButton(dialog, control, flag != 0 ? BST_CHECKED : BST_UNCHECKED);
}

// The directions and the timeout mean something only with time tags on;
// their ticks and text stay as they are while they are disabled.
static void EnableTagFields(HWND dialog, BOOL enable)
{
    EnableWindow(GetDlgItem(dialog, IDC_OPTION_TAG_SERIAL_TO_LAN), enable);
    EnableWindow(GetDlgItem(dialog, IDC_OPTION_TAG_LAN_TO_SERIAL), enable);
    EnableWindow(GetDlgItem(dialog, IDC_OPTION_TAG_TIMEOUT), enable);
}

static void ShowSettings(HWND dialog)
{
    Tick(dialog, IDC_OPTION_AUTO_CONNECT, Settings.CONNECT);
    SetDlgItemInt(dialog, IDC_OPTION_RATE, static_cast<UINT>(Settings.RATE.load()), FALSE);
    Tick(dialog, IDC_OPTION_TIME_TAGS, Settings.DT);
    EnableTagFields(dialog, Settings.DT != 0);
    Tick(dialog, IDC_OPTION_TAG_SERIAL_TO_LAN, Settings.DTRSLAN);
    Tick(dialog, IDC_OPTION_TAG_LAN_TO_SERIAL, Settings.DTLANRS);
    SetDlgItemInt(dialog, IDC_OPTION_TAG_TIMEOUT, static_cast<UINT>(Settings.DTUPTIME.load()), FALSE);
}

// Tells the user and puts the cursor back into the field, text in place.
static void RefuseField(HWND dialog, int control, const char *text)
{
    MessageBoxA(dialog, text, MessageCaption, MB_OK | MB_ICONERROR);
    HWND field = GetDlgItem(dialog, control);
    SendMessageA(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(field), TRUE);
}

static void StoreSettings(HWND dialog)
{
    Settings.CONNECT = Ticked(dialog, IDC_OPTION_AUTO_CONNECT);
    int32_t rate = 0;
    if (!ReadNumberField(dialog, IDC_OPTION_RATE, RateLowest, RateHighest, &rate)) {
        RefuseField(dialog, IDC_OPTION_RATE, RateInvalidText);
        return;
    }
    Settings.RATE = rate;
    Settings.DT = Ticked(dialog, IDC_OPTION_TIME_TAGS);
    Settings.DTRSLAN = Ticked(dialog, IDC_OPTION_TAG_SERIAL_TO_LAN);
    Settings.DTLANRS = Ticked(dialog, IDC_OPTION_TAG_LAN_TO_SERIAL);
    int32_t timeout = 0;
    if (!ReadNumberField(dialog, IDC_OPTION_TAG_TIMEOUT, TagTimeoutLowest, TagTimeoutHighest, &timeout)) {
        RefuseField(dialog, IDC_OPTION_TAG_TIMEOUT, TagTimeoutInvalidText);
        return;
    }
    Settings.DTUPTIME = timeout;
    EndDialog(dialog, OptionDialogResult);
}

INT_PTR CALLBACK OptionDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    switch (message) {
    case WM_INITDIALOG:
        ShowSettings(dialog);
        // The first tab stop is the shortcut button; Enter there would place
        // a shortcut. The focus starts on the first setting instead.
        SetFocus(GetDlgItem(dialog, IDC_OPTION_AUTO_CONNECT));
        return FALSE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_OPTION_TIME_TAGS:
            if (HIWORD(wParam) == BN_CLICKED)
                EnableTagFields(dialog, Ticked(dialog, IDC_OPTION_TIME_TAGS));
            return TRUE;
        case IDC_OPTION_STARTUP:
            if (HIWORD(wParam) == BN_CLICKED)
                RegisterStartupShortcut(dialog);
            return TRUE;
        case IDOK:
            StoreSettings(dialog);
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, OptionDialogResult);
            return TRUE;
        default:
            return FALSE;
        }
    default:
        return FALSE;
    }
}
