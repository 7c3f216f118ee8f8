// The socket settings dialog: server or client mode, the listening port and
// the three permitted peer addresses, the destination port and address.
//
// The dialog runs modally on the user-interface thread and changes Settings
// in memory only, on OK and field by field: MODE first, then each port once
// it has passed its check, then the addresses. A refused port stops OK where
// it stands; what was stored before it stays (a later Cancel keeps it). The
// connection manager, on the same thread, takes the values at its next
// start. The boxes that refuse a port are owned by the dialog, so that it
// stays disabled, and so cannot be confirmed or closed again, while one is up.
#include "net.h"
#include "../app/app.h"
#include "../config/config.h"
#include "../res/resource.h"

#include <commctrl.h>
#include <cstdio>
#include <cstring>

static const char DestinationPortInvalidText[] = "接続先ポートが不正です。1～65535を入力してください。";
static const char ListeningPortInvalidText[] = "待ち受けポートが不正です。1～65535を入力してください。";

constexpr int32_t PortLowest = 1;
constexpr int32_t PortHighest = 65535;
// Both OK and Cancel end the dialog with this; the caller does not use it.
constexpr INT_PTR SocketDialogResult = 1;
// Room for a dotted address, "255.255.255.255" and more.
constexpr int AddressTextCapacity = 20;

static const int PermittedAddressControls[] = {IDC_SOCK_PERMIT1, IDC_SOCK_PERMIT2, IDC_SOCK_PERMIT3};
static std::atomic<uint32_t> *const PermittedAddressFields[] = {&Settings.PERMISSIP1, &Settings.PERMISSIP2,
                                                                &Settings.PERMISSIP3};

bool ParsePortText(const char *text, uint16_t *port)
{
    int32_t value = 0;
    if (!ParseDecimalInRange(text, PortLowest, PortHighest, &value))
        return false;
    *port = static_cast<uint16_t>(value);
    return true;
}

void AddressText(uint32_t address, char *text, size_t capacity)
{
    uint32_t host = ntohl(address);
    snprintf(text, capacity, "%u.%u.%u.%u", (host >> 24) & 0xFF, (host >> 16) & 0xFF, (host >> 8) & 0xFF,
             host & 0xFF);
}

// Server mode uses the listening port and the permitted addresses, client
// mode the destination; the other side's fields are disabled but kept.
static void EnableModeFields(HWND dialog, BOOL server)
{
    EnableWindow(GetDlgItem(dialog, IDC_SOCK_LISTEN_PORT), server);
    for (int control : PermittedAddressControls)
        EnableWindow(GetDlgItem(dialog, control), server);
    EnableWindow(GetDlgItem(dialog, IDC_SOCK_DEST_PORT), !server);
    EnableWindow(GetDlgItem(dialog, IDC_SOCK_DEST_ADDRESS), !server);
}

static void ShowAddress(HWND dialog, int control, uint32_t address)
{
    SendDlgItemMessageA(dialog, control, IPM_SETADDRESS, 0, static_cast<LPARAM>(ntohl(address)));
}

// The control's address in network byte order. Blank fields count as 0, so
// an emptied control is an empty slot, never the 255.255.255.255 that
// inet_addr would make of a text with missing parts.
static uint32_t ReadAddress(HWND dialog, int control)
{
    DWORD host = 0;
    SendDlgItemMessageA(dialog, control, IPM_GETADDRESS, 0, reinterpret_cast<LPARAM>(&host));
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
}

static bool ReadPort(HWND dialog, int control, uint16_t *port)
{
    int32_t value = 0;
    if (!ReadNumberField(dialog, control, PortLowest, PortHighest, &value))
        return false;
    *port = static_cast<uint16_t>(value);
    return true;
}

// Tells the user and puts the cursor back into the field, text in place.
static void RefusePort(HWND dialog, int control, const char *text)
{
    MessageBoxA(dialog, text, MessageCaption, MB_OK | MB_ICONERROR);
    HWND field = GetDlgItem(dialog, control);
    SendMessageA(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(field), TRUE);
}

// Both ports are checked whatever the mode, and the addresses of the
// disabled side are stored too.
static void StoreSettings(HWND dialog)
{
    Settings.MODE = IsDlgButtonChecked(dialog, IDC_SOCK_CLIENT) == BST_CHECKED ? 1 : 0;
    uint16_t port = 0;
    if (!ReadPort(dialog, IDC_SOCK_DEST_PORT, &port)) {
        RefusePort(dialog, IDC_SOCK_DEST_PORT, DestinationPortInvalidText);
        return;
    }
    Settings.PORT = port;
    if (!ReadPort(dialog, IDC_SOCK_LISTEN_PORT, &port)) {
        RefusePort(dialog, IDC_SOCK_LISTEN_PORT, ListeningPortInvalidText);
        return;
    }
    Settings.SPORT = port;
    char address[AddressTextCapacity] = {};
    AddressText(ReadAddress(dialog, IDC_SOCK_DEST_ADDRESS), address, sizeof address);
    static_assert(sizeof address <= sizeof Settings.IP, "a dotted address fits the IP field");
    memcpy(Settings.IP, address, sizeof address);
    for (size_t slot = 0; slot < std::size(PermittedAddressControls); ++slot)
        *PermittedAddressFields[slot] = ReadAddress(dialog, PermittedAddressControls[slot]);
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
