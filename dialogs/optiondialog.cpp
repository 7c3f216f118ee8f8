// The option dialog: automatic connection, the rate display period, the
// time tags and the event history, and the button that places the start-up
// shortcut.
//
// The dialog runs modally on the user-interface thread and writes Settings
// on OK, field by field: a number that is refused stops OK where it stands,
// and the fields stored before it stay stored (a later Cancel keeps them).
// The data threads and the clock read the fields they use at their next
// look. The boxes that refuse a number are owned by the dialog, so that it
// stays disabled, and so cannot be confirmed or closed again, while one is up.
#include "dialogs.h"
#include "../history/history.h"
#include "../res/resource.h"
#include "../shell/shell.h"

// Both OK and Cancel end the dialog with this; the caller does not use it.
constexpr INT_PTR OptionDialogResult = 2;

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
    SetCheckBox(dialog, IDC_OPTION_AUTO_CONNECT, Settings.CONNECT);
    SetDlgItemInt(dialog, IDC_OPTION_RATE, static_cast<UINT>(Settings.RATE.load()), FALSE);
    SetCheckBox(dialog, IDC_OPTION_TIME_TAGS, Settings.DT);
    EnableTagFields(dialog, Settings.DT != 0);
    SetCheckBox(dialog, IDC_OPTION_TAG_SERIAL_TO_LAN, Settings.DTRSLAN);
    SetCheckBox(dialog, IDC_OPTION_TAG_LAN_TO_SERIAL, Settings.DTLANRS);
    SetDlgItemInt(dialog, IDC_OPTION_TAG_TIMEOUT, static_cast<UINT>(Settings.DTUPTIME.load()), FALSE);
    SetCheckBox(dialog, IDC_OPTION_EVENT_LOG, Settings.EVENTLOG);
}

static void StoreSettings(HWND dialog)
{
    Settings.CONNECT = CheckBoxFlag(dialog, IDC_OPTION_AUTO_CONNECT);
    if (!StoreNumberField(dialog, IDC_OPTION_RATE, SettingKeyNamed("RATE")))
        return;
    Settings.DT = CheckBoxFlag(dialog, IDC_OPTION_TIME_TAGS);
    Settings.DTRSLAN = CheckBoxFlag(dialog, IDC_OPTION_TAG_SERIAL_TO_LAN);
    Settings.DTLANRS = CheckBoxFlag(dialog, IDC_OPTION_TAG_LAN_TO_SERIAL);
    if (!StoreNumberField(dialog, IDC_OPTION_TAG_TIMEOUT, SettingKeyNamed("DTUPTIME")))
        return;
    // The history follows the box at once.
    Settings.EVENTLOG = CheckBoxFlag(dialog, IDC_OPTION_EVENT_LOG);
    SetHistoryOn(Settings.EVENTLOG != 0);
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
                EnableTagFields(dialog, CheckBoxFlag(dialog, IDC_OPTION_TIME_TAGS));
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
