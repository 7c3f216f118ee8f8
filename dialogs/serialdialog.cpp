// The serial settings dialog: the port and its line settings in six lists.
//
// It runs modally on the user-interface thread. The port list offers com1 to
// com6, the ports the system lists as present when the dialog opens (USB
// adapters come as COM7 and beyond) and the stored port; each item carries
// its COM value. OK stores the choices in Settings (the file is written only
// by SAVE), reopens the port when another one was chosen or the port is not
// open, and applies the line settings. A line the driver would refuse is
// refused first, with nothing stored and the port as it was.
#include "dialogs.h"
#include "../bridge/bridge.h"
#include "../res/resource.h"
#include "../serial/serial.h"
#include "../shell/shell.h"
#include "../util/util.h"

#include <cstdio>
#include <cwchar>
#include <iterator>
#include <string>
#include <vector>

static const char *const BaudTexts[] = {"50", "75", "110", "135", "150", "300", "600", "1200", "1800", "2000",
                                        "2400", "3600", "4800", "7200", "9600", "19200", "38400", "57600",
                                        "115200", "230400", "460800"};
static const int32_t BaudValues[] = {50, 75, 110, 135, 150, 300, 600, 1200, 1800, 2000, 2400,
                                     3600, 4800, 7200, 9600, 19200, 38400, 57600, 115200, 230400, 460800};
static const char *const BitTexts[] = {"5", "6", "7", "8"};
static const uint8_t BitValues[] = {5, 6, 7, 8};
static const char *const ParityTexts[] = {"none", "odd", "even"};
static const char *const StopTexts[] = {"1", "1.5", "2"};

// The DCB's rule: the fewest data bits go with 1 or 1.5 stop bits, the
// others up to the most with 1 or 2.
constexpr int32_t FewestDataBits = 5;
constexpr int32_t MostDataBits = 8;
static const char LineRefusedText[] =
    "データビットとストップビットの組み合わせが不正です。"
    "5ビットには1または1.5、6～8ビットには1または2のストップビットを選んでください。";

static_assert(std::size(BaudTexts) == std::size(BaudValues));
static_assert(std::size(BitTexts) == std::size(BitValues));

constexpr int NoSelection = CB_ERR;

// The system's list of the serial ports present: one value per port, whose
// data is the port's name ("COM7"); the value names are the drivers' own.
static const wchar_t SerialCommKey[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";
constexpr DWORD ValueNameCapacity = 16384;      // the registry's longest value name and its terminator
constexpr DWORD PortNameDataCapacity = 16;      // "COM256" with room to spare; longer data names no port
// The ports beyond the table are named in its manner.
static const char BeyondTableFormat[] = "com%d";
constexpr int DecimalBase = 10;

int SerialListIndex(const int32_t *values, int count, int32_t value)
{
    for (int i = 0; i < count; ++i) {
        if (values[i] == value)
            return i;
    }
    return NoSelection;
}

bool SerialLineAccepted(int32_t dataBits, int32_t stopBits)
{
    if (dataBits == FewestDataBits)
        return stopBits != TWOSTOPBITS;
    if (dataBits > FewestDataBits && dataBits <= MostDataBits)
        return stopBits != ONE5STOPBITS;
    return true;
}

// The item's position, or CB_ERR (or CB_ERRSPACE) when the list took none.
static LRESULT AddListItem(HWND dialog, int control, const char *text)
{
    return SendDlgItemMessageW(dialog, control, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(WideText(text).c_str()));
}

static void FillList(HWND dialog, int control, const char *const *texts, int count, int selected)
{
    for (int i = 0; i < count; ++i)
        (void)AddListItem(dialog, control, texts[i]);   // a fixed list always fits
    // An index outside the list selects nothing.
    (void)SendDlgItemMessageW(dialog, control, CB_SETCURSEL, selected >= 0 && selected < count ? selected : -1, 0);
}

int ComValueOfPortName(const wchar_t *name, size_t length)
{
    static const wchar_t Prefix[] = L"COM";
    constexpr size_t PrefixLength = std::size(Prefix) - 1;
    if (length <= PrefixLength || _wcsnicmp(name, Prefix, PrefixLength) != 0 || name[PrefixLength] == L'0')
        return -1;
    int number = 0;
    for (size_t i = PrefixLength; i < length; ++i) {
        if (name[i] < L'0' || name[i] > L'9')
            return -1;
        number = number * DecimalBase + (name[i] - L'0');
        if (number > HighestPortNumber)
            return -1;
    }
    return number - 1;
}

int MergePortChoices(const int *present, int presentCount, int32_t stored, int *choices, int capacity)
{
    bool offered[HighestPortNumber] = {};
    auto offer = [&offered](int32_t com) {
        if (com >= 0 && com < HighestPortNumber)
            offered[com] = true;
    };
    for (int com = 0; com < PortCount; ++com)
        offer(com);
    for (int i = 0; i < presentCount; ++i)
        offer(present[i]);
    offer(stored);
    int count = 0;
    for (int com = 0; com < HighestPortNumber && count < capacity; ++com) {
        if (offered[com])
            choices[count++] = com;
    }
    return count;
}

// The COM values of the ports the system lists, junk and repeats as they
// come (MergePortChoices leaves them out). No list means no port.
static std::vector<int> PresentPorts()
{
    std::vector<int> present;
    HKEY key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, SerialCommKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return present;
    std::wstring name(ValueNameCapacity, L'\0');
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = ValueNameCapacity, type = REG_NONE;
        wchar_t data[PortNameDataCapacity];
        DWORD size = sizeof data;
        LSTATUS status = RegEnumValueW(key, index, name.data(), &nameLength, nullptr, &type,
                                       reinterpret_cast<BYTE *>(data), &size);
        if (status == ERROR_MORE_DATA)
            continue;
        if (status != ERROR_SUCCESS)
            break;      // the end of the list, or the list went away
        if (type != REG_SZ)
            continue;
        // The text ends at its terminator, or with the data when it has none.
        int com = ComValueOfPortName(data, wcsnlen(data, size / sizeof(wchar_t)));
        if (com >= 0)
            present.push_back(com);
    }
    (void)RegCloseKey(key);
    return present;
}

// The stored port is selected, even when it is not present; a value that
// names no port selects nothing.
static void FillPortList(HWND dialog)
{
    std::vector<int> present = PresentPorts();
    int choices[HighestPortNumber];
    int count = MergePortChoices(present.data(), static_cast<int>(present.size()), Settings.COM, choices,
                                 std::size(choices));
    int selected = NoSelection;
    for (int i = 0; i < count; ++i) {
        char text[PortNameCapacity];
        if (choices[i] < PortCount)
            snprintf(text, sizeof text, "%s", PortNameTable[choices[i]]);
        else
            snprintf(text, sizeof text, BeyondTableFormat, choices[i] + 1);
        LRESULT item = AddListItem(dialog, IDC_SERIAL_PORT, text);
        if (item < 0)
            continue;       // no room: the list goes without it
        (void)SendDlgItemMessageW(dialog, IDC_SERIAL_PORT, CB_SETITEMDATA, item, choices[i]);
        if (choices[i] == Settings.COM)
            selected = static_cast<int>(item);
    }
    (void)SendDlgItemMessageW(dialog, IDC_SERIAL_PORT, CB_SETCURSEL, selected, 0);
}

// The selected position, or -1 when none is selected.
static int Selection(HWND dialog, int control)
{
    return static_cast<int>(SendDlgItemMessageW(dialog, control, CB_GETCURSEL, 0, 0));
}

static void OnInit(HWND dialog)
{
    FillPortList(dialog);
    FillList(dialog, IDC_SERIAL_BPS, BaudTexts, std::size(BaudTexts),
             SerialListIndex(BaudValues, std::size(BaudValues), Settings.BPS));
    int32_t bits[std::size(BitValues)];
    for (size_t i = 0; i < std::size(BitValues); ++i)
        bits[i] = BitValues[i];
    FillList(dialog, IDC_SERIAL_BITS, BitTexts, std::size(BitTexts),
             SerialListIndex(bits, std::size(bits), Settings.BIT));
    FillList(dialog, IDC_SERIAL_PARITY, ParityTexts, std::size(ParityTexts), Settings.PARI);
    FillList(dialog, IDC_SERIAL_STOP, StopTexts, std::size(StopTexts), Settings.STOP);
    FillList(dialog, IDC_SERIAL_FLOW, FlowModeTexts, FlowModeCount, Settings.FLOW);
}

// A list left without a selection keeps the field as it was.
static void OnOk(HWND dialog)
{
    int bits = Selection(dialog, IDC_SERIAL_BITS);
    int stop = Selection(dialog, IDC_SERIAL_STOP);
    if (!SerialLineAccepted(bits != NoSelection ? BitValues[bits] : Settings.BIT.load(),
                            stop != NoSelection ? stop : Settings.STOP.load())) {
        RefuseField(dialog, IDC_SERIAL_STOP, LineRefusedText);
        return;
    }
    int previous = Settings.COM;
    int port = Selection(dialog, IDC_SERIAL_PORT);
    int com = port == NoSelection
                  ? previous
                  : static_cast<int>(SendDlgItemMessageW(dialog, IDC_SERIAL_PORT, CB_GETITEMDATA, port, 0));
    // A port that went away is opened anew, even when its dead handle is
    // still about. The reopen stores the choice once the old port is closed.
    if (com != previous || !DataBridge.HasPort() || DataBridge.PortRetrying()) {
        if (ReopenSerialPort(com) != 0) {
            EndDialog(dialog, IDCANCEL);
            return;
        }
    }
    if (int i = Selection(dialog, IDC_SERIAL_BPS); i != NoSelection)
        Settings.BPS = BaudValues[i];
    if (bits != NoSelection)
        Settings.BIT = BitValues[bits];
    if (int i = Selection(dialog, IDC_SERIAL_PARITY); i != NoSelection)
        Settings.PARI = static_cast<uint8_t>(i);
    if (stop != NoSelection)
        Settings.STOP = static_cast<uint8_t>(stop);
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
