// The port kept for the user, on the user-interface thread: opened as the
// settings name it and handed to the bridge, configured with the user's
// line, told to the user when it cannot be, and tried again each second
// while it is lost. The notices are the message boxes the port has always
// had.
#include "bridge.h"
#include "../config/config.h"
#include "../history/history.h"
#include "../shell/shell.h"

#include <cstdio>
#include <iterator>

namespace {

// Notice codes: 1..4 a refused open of that port, then the others.
enum NoticeCode : int {
    NoticeCom1Open = 1,
    NoticeCom4Open = 4,
    NoticeEventMask = 5,
};

const struct {
    const char *text;
    UINT icon;
} NoticeTable[] = {
    {nullptr, 0},                           // codes start at 1
    {"Com1 Open Error", MB_ICONERROR},
    {"Com2 Open Error", MB_ICONERROR},
    {"Com3 Open Error", MB_ICONERROR},
    {"Com4 Open Error", MB_ICONERROR},
    {"EV_RXCHAR Error", MB_ICONERROR},
};

// Ports without an entry of their own in the table get the same words.
const char OpenErrorFormat[] = "Com%d Open Error";
const char ComSettingErrorFormat[] = "COM Setting Error: %d";
const char LineErrorFormat[] = "Com%d Line Setting Error: %s (%lu)";
constexpr size_t NoticeCapacity = 64;

void ShowNoticeText(const char *text)
{
    (void)ShowMessage(MainWindow, text, MB_OK | MB_ICONERROR);
}

void ShowNotice(int code)
{
    if (code > 0 && code < static_cast<int>(std::size(NoticeTable)))
        ShowNoticeText(NoticeTable[code].text);
}

void ShowOpenNotice(int number)
{
    if (number >= NoticeCom1Open && number <= NoticeCom4Open) {
        ShowNotice(number);
        return;
    }
    char text[NoticeCapacity];
    snprintf(text, sizeof text, OpenErrorFormat, number);
    ShowNoticeText(text);
}

// When the port was found gone, for the history's "back after".
// User-interface thread.
uint64_t LostAtMs;

// Opens the port com names and gives it to the bridge, without a word to
// the user; the history has it. A port refused by name is tried again each
// second; a device that is no port (it takes no line events) leaves that as
// it was. A retry's failure is no news.
PortOpening OpenAndGive(int com, bool retry)
{
    char name[PortNameCapacity];
    if (!PortDeviceName(com, name, sizeof name))
        return PortOpening::Refused;
    HANDLE port = INVALID_HANDLE_VALUE;
    DWORD error = ERROR_SUCCESS;
    PortLine line = UserLine();
    PortOpening opening = OpenPort(name, line, &port, &error);
    char lineText[NoticeCapacity];
    FormatPortLineAndFlow(line, lineText, sizeof lineText);
    switch (opening) {
    case PortOpening::Opened:
        DataBridge.GivePort(MakeDevicePort(port), line);
        if (retry)
            NoteEvent("Port COM%d back after %.1f s: %s", com + 1, (GetTickCount64() - LostAtMs) / 1000.0, lineText);
        else
            NoteEvent("Port COM%d opened: %s", com + 1, lineText);
        break;
    case PortOpening::Refused:
        if (!retry) {
            NoteEvent("Port COM%d could not be opened: error %lu", com + 1, static_cast<unsigned long>(error));
            LostAtMs = GetTickCount64();
        }
        break;
    case PortOpening::TakesNoEvents:
        if (!retry)
            NoteEvent("Port COM%d is no serial port: it takes no line events (error %lu)", com + 1,
                      static_cast<unsigned long>(error));
        break;
    }
    if (opening != PortOpening::TakesNoEvents)
        DataBridge.SetPortRetrying(opening == PortOpening::Refused);
    return opening;
}

}  // namespace

PortLine UserLine()
{
    return {Settings.BPS, Settings.BIT, Settings.PARI, Settings.STOP, Settings.FLOW};
}

int OpenConfiguredPort(int com)
{
    char name[PortNameCapacity];
    if (!PortDeviceName(com, name, sizeof name)) {
        char text[NoticeCapacity];
        snprintf(text, sizeof text, ComSettingErrorFormat, com);
        ShowNoticeText(text);
        DataBridge.SetPortRetrying(false);     // there is nothing to try again
        return 1;
    }
    switch (OpenAndGive(com, false)) {
    case PortOpening::Opened:
        return 0;
    case PortOpening::Refused:
        ShowOpenNotice(com + 1);
        return 1;
    case PortOpening::TakesNoEvents:
        ShowNotice(NoticeEventMask);
        return 1;
    }
    return 1;
}

void ConfigureSerialPort()
{
    PortLine line = UserLine();
    DWORD error = ERROR_SUCCESS;
    if (!DataBridge.ApplyUserLine(line, &error)) {
        char lineText[NoticeCapacity];
        char text[2 * NoticeCapacity];
        FormatPortLine(line, lineText, sizeof lineText);
        snprintf(text, sizeof text, LineErrorFormat, Settings.COM + 1, lineText, static_cast<unsigned long>(error));
        ShowNoticeText(text);
    }
}

int ReopenSerialPort(int com)
{
    if (!DataBridge.TakePort(ReceiveThreadStopWaitMs)) {
        // A data thread still holds the port: it stays as it is, and so does
        // the setting that names it.
        char name[PortNameCapacity];
        if (PortDeviceName(com, name, sizeof name))
            ShowOpenNotice(com + 1);
        return 1;
    }
    // From here the setting names the port that is open, or that is tried
    // again until it opens.
    Settings.COM = com;
    return OpenConfiguredPort(com);
}

void LoseSerialPort(DWORD error)
{
    if (!DataBridge.HasPort())
        return;
    if (error == ERROR_DEVICE_REMOVED)
        NoteEvent("Port COM%d lost: the system says its adapter was removed", Settings.COM + 1);
    else
        NoteEvent("Port COM%d lost: error %lu", Settings.COM + 1, static_cast<unsigned long>(error));
    LostAtMs = GetTickCount64();
    DataBridge.SetPortRetrying(true);
    (void)RetryLostPort();      // lets go of the dead port; tries it at once
}

bool RetryLostPort()
{
    if (!DataBridge.PortRetrying())
        return true;
    if (!DataBridge.TakePort(ReceiveThreadStopWaitMs))
        return false;
    if (OpenAndGive(Settings.COM, true) != PortOpening::Opened)
        return false;
    // A line the driver refuses was told when the port was first set up;
    // the retries are silent.
    DWORD error = ERROR_SUCCESS;
    (void)DataBridge.ApplyUserLine(UserLine(), &error);
    return true;
}
