// The socket settings dialog: server or client mode, the listening port,
// the three permitted peer addresses, how many peers a server serves at once
// and whether a newcomer replaces one when all places are taken, the
// destination port and address, and whether connections speak RFC 2217.
//
// The dialog runs modally on the user-interface thread and changes Settings
// in memory only, on OK and field by field: MODE first, then each number
// (the two ports, then the peer count) once it has passed its check, then
// the addresses and the two check boxes. A refused number stops OK where it
// stands; what was stored before it stays (a later Cancel keeps it). The
// connection manager, on the same thread, takes the values at its next
// start; a connection that is up keeps what it started with. The boxes that
// refuse a number are owned by the dialog, so that it stays disabled, and so
// cannot be confirmed or closed again, while one is up.
#include "dialogs.h"
#include "../res/resource.h"

#include <winsock2.h>
#include <commctrl.h>

// Both OK and Cancel end the dialog with this; the caller does not use it.
constexpr INT_PTR SocketDialogResult = 1;

static const int PermittedAddressControls[] = {IDC_SOCK_PERMIT1, IDC_SOCK_PERMIT2, IDC_SOCK_PERMIT3};
static std::atomic<uint32_t> *const PermittedAddressFields[] = {&Settings.PERMISSIP1, &Settings.PERMISSIP2,
                                                                &Settings.PERMISSIP3};

// Server mode uses the listening port, the permitted addresses and the
// peer sharing, client mode the destination; the other side's fields are
// disabled but kept.
static void EnableModeFields(HWND dialog, BOOL server)
{
    EnableWindow(GetDlgItem(dialog, IDC_SOCK_LISTEN_PORT), server);
    for (int control : PermittedAddressControls)
        EnableWindow(GetDlgItem(dialog, control), server);
    EnableWindow(GetDlgItem(dialog, IDC_SOCK_MAX_PEERS), server);
    EnableWindow(GetDlgItem(dialog, IDC_SOCK_KICK_OLD), server);
    EnableWindow(GetDlgItem(dialog, IDC_SOCK_DEST_PORT), !server);
    EnableWindow(GetDlgItem(dialog, IDC_SOCK_DEST_ADDRESS), !server);
}

static void ShowAddress(HWND dialog, int control, uint32_t address)
{
    (void)SendDlgItemMessageW(dialog, control, IPM_SETADDRESS, 0, static_cast<LPARAM>(ntohl(address)));
}

// The control's address in network byte order. Blank fields count as 0, so
// an emptied control is an empty slot, never the 255.255.255.255 that
// inet_addr would make of a text with missing parts.
static uint32_t ReadAddress(HWND dialog, int control)
{
    DWORD host = 0;
    // It answers how many fields are filled; blank ones are 0 in host.
    (void)SendDlgItemMessageW(dialog, control, IPM_GETADDRESS, 0, reinterpret_cast<LPARAM>(&host));
    return htonl(host);
}

static void ShowSettings(HWND dialog)
{
    bool client = Settings.MODE == 1;
    CheckDlgButton(dialog, client ? IDC_SOCK_CLIENT : IDC_SOCK_SERVER, BST_CHECKED);
    EnableModeFields(dialog, !client);
    SetDlgItemInt(dialog, IDC_SOCK_DEST_PORT, Settings.PORT, FALSE);
    SetDlgItemInt(dialog, IDC_SOCK_LISTEN_PORT, Settings.SPORT, FALSE);
    ShowAddress(dialog, IDC_SOCK_DEST_ADDRESS, DottedAddress(Settings.IP));
    for (size_t slot = 0; slot < std::size(PermittedAddressControls); ++slot)
        ShowAddress(dialog, PermittedAddressControls[slot], *PermittedAddressFields[slot]);
    // Signed: a count outside 0..8 from the file shows as it is, and OK refuses it.
    SetDlgItemInt(dialog, IDC_SOCK_MAX_PEERS, static_cast<UINT>(Settings.MAXPEER.load()), TRUE);
    SetCheckBox(dialog, IDC_SOCK_KICK_OLD, Settings.KICKOLD);
    SetCheckBox(dialog, IDC_SOCK_RFC2217, Settings.RFC2217);
}

// Every number is checked whatever the mode, and the fields of the
// disabled side are stored too.
static void StoreSettings(HWND dialog)
{
    Settings.MODE = IsDlgButtonChecked(dialog, IDC_SOCK_CLIENT) == BST_CHECKED ? 1 : 0;
    if (!StoreNumberField(dialog, IDC_SOCK_DEST_PORT, SettingKeyNamed("PORT")) ||
        !StoreNumberField(dialog, IDC_SOCK_LISTEN_PORT, SettingKeyNamed("SPORT")) ||
        !StoreNumberField(dialog, IDC_SOCK_MAX_PEERS, SettingKeyNamed("MAXPEER")))
        return;
    FormatDottedAddress(ReadAddress(dialog, IDC_SOCK_DEST_ADDRESS), Settings.IP, sizeof Settings.IP);
    for (size_t slot = 0; slot < std::size(PermittedAddressControls); ++slot)
        *PermittedAddressFields[slot] = ReadAddress(dialog, PermittedAddressControls[slot]);
    Settings.KICKOLD = CheckBoxFlag(dialog, IDC_SOCK_KICK_OLD);
    Settings.RFC2217 = CheckBoxFlag(dialog, IDC_SOCK_RFC2217);
    EndDialog(dialog, SocketDialogResult);
}

INT_PTR CALLBACK SocketDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    switch (message) {
    case WM_INITDIALOG:
        ShowSettings(dialog);
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_SOCK_SERVER:
            if (HIWORD(wParam) == BN_CLICKED)
                EnableModeFields(dialog, TRUE);
            return TRUE;
        case IDC_SOCK_CLIENT:
            if (HIWORD(wParam) == BN_CLICKED)
                EnableModeFields(dialog, FALSE);
            return TRUE;
        case IDOK:
            StoreSettings(dialog);
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, SocketDialogResult);
            return TRUE;
        default:
            return FALSE;
        }
    default:
        return FALSE;
    }
}
