// The two transfer log channels: the file a channel writes, its window with
// the running count, and the menu command that starts it.
//
// Opening, closing and the windows belong to the user-interface thread; each
// channel's writer runs on its data path's thread (the socket receive thread
// for LAN to RS232C, the serial receive thread for RS232C to LAN). A lock
// per channel makes a write and the closing of that channel exclude each
// other. The writer only counts and posts its window a note (one at a time);
// the window shows the count on the user-interface thread.
#include "translog.h"
#include "../history/history.h"
#include "../res/resource.h"
#include "../shell/shell.h"
#include "../util/util.h"

#include <commdlg.h>
#include <cstring>
#include <iterator>
#include <string>

TransferLog LanToSerialLog;     // opened and closed on the user-interface thread
TransferLog SerialToLanLog;     // opened and closed on the user-interface thread

static const char FileFilter[] = "All Files(*.*)\0*.*\0txt files(*.txt)\0*.txt\0";
static const char DefaultExtension[] = "txt";
static const char FileDialogTitle[] = "Quillmar: Log";
static const char FileOpenErrorText[] = "File Open Error。";
static const char FileNamePrefix[] = "File Name： ";
static const char NoBytesText[] = "0";

struct ChannelFacts {
    TransferLog *log;
    UINT menuCommand;
    int templateId;
    const char *direction;
};

static const ChannelFacts Channels[] = {
    {nullptr, 0, 0, nullptr},   // channels start at 1
    {&LanToSerialLog, IDM_LOG_LAN_TO_SERIAL, IDD_DIALOG_LOG1, "LAN -> -> -> RS232C"},
    {&SerialToLanLog, IDM_LOG_SERIAL_TO_LAN, IDD_DIALOG_LOG2, "LAN <- <- <- RS232C"},
};

static const ChannelFacts *Channel(int channel)
{
    if (channel != LogLanToSerialChannel && channel != LogSerialToLanChannel)
        return nullptr;
    return &Channels[channel];
}

void InitTransferLogs()
{
    for (TransferLog *log : {&LanToSerialLog, &SerialToLanLog}) {
        InitializeCriticalSection(&log->lock);
        log->open = 0;
    }
}

int OpenLogFile(int channel)
{
    const ChannelFacts *facts = Channel(channel);
    if (facts == nullptr)
        return 0;
    // The path stays in UTF-16 from the dialog to the open: a folder may be
    // named in characters outside the system's code page.
    wchar_t path[LogPathCapacity] = {};
    wchar_t title[LogFileTitleCapacity] = {};
    std::wstring filter = WideText(FileFilter, sizeof FileFilter);     // its inner terminators too
    std::wstring caption = WideText(FileDialogTitle);
    std::wstring extension = WideText(DefaultExtension);
    OPENFILENAMEW dialog = {};
    dialog.lStructSize = sizeof dialog;
    dialog.hwndOwner = MainWindow;
    dialog.lpstrFilter = filter.c_str();
    dialog.nFilterIndex = 1;
    dialog.lpstrFile = path;
    dialog.nMaxFile = LogPathCapacity;
    dialog.lpstrFileTitle = title;
    dialog.nMaxFileTitle = LogFileTitleCapacity;
    dialog.lpstrTitle = caption.c_str();
    dialog.lpstrDefExt = extension.c_str();
    dialog.Flags = OFN_HIDEREADONLY | OFN_FILEMUSTEXIST | OFN_CREATEPROMPT;
    if (!GetOpenFileNameW(&dialog))
        return 0;

    // An existing file is truncated: each log holds one run.
    FILE *file = _wfopen(path, L"wb");
    if (file == nullptr) {
        NoteEvent("Log file %s could not be opened", Utf8Text(path).c_str());
        ShowMessage(MainWindow, FileOpenErrorText, MB_OK | MB_ICONERROR);
        return 0;
    }
    TransferLog *log = facts->log;
    EnterCriticalSection(&log->lock);
    log->byteCount = 0;
    log->countNoted = false;
    log->writeFailed = false;
    log->file = file;
    (void)Utf8Into(title, log->fileName, sizeof log->fileName);     // a long name shows cut
    log->open = 1;
    LeaveCriticalSection(&log->lock);
    return 1;
}

int CloseLogFile(int channel)
{
    const ChannelFacts *facts = Channel(channel);
    if (facts == nullptr)
        return 0;
    TransferLog *log = facts->log;
    EnterCriticalSection(&log->lock);
    log->open = 0;
    FILE *file = log->file;
    log->file = nullptr;
    LeaveCriticalSection(&log->lock);
    if (file != nullptr)
        fclose(file);
    return 0;
}

static void WriteLog(TransferLog &log, const char *bytes, int length, int dataBytes)
{
    EnterCriticalSection(&log.lock);
    if (!log.open) {
        LeaveCriticalSection(&log.lock);
        return;
    }
    size_t written = fwrite(bytes, 1, length, log.file);
    // A log that is being watched, or that outlives a crash, holds every
    // chunk as soon as it has passed.
    bool failed = fflush(log.file) != 0 || written != static_cast<size_t>(length);
    log.byteCount += dataBytes;
    char name[LogFileTitleCapacity];
    memcpy(name, log.fileName, sizeof name);
    LeaveCriticalSection(&log.lock);
    // A disk that is full is told once per log; the bridge goes on.
    if (failed && !log.writeFailed.exchange(true))
        NoteEvent("Log file %s could not be written: bytes are missing from it from here on", name);
    // The window reads the count when it takes the note, so a note already
    // on its way shows this count too.
    HWND window = log.window;
    if (window != nullptr && !log.countNoted.exchange(true) && !PostMessageW(window, WM_LOG_COUNT, 0, 0))
        log.countNoted = false;
}

static void ShowCount(TransferLog &log, HWND window)
{
    log.countNoted = false;
    char text[LogCountTextCapacity] = {};
    wsprintfA(text, "%d", log.byteCount.load());
    SetItemText(window, IDC_LOG_COUNT, text);
}

void LogLanToSerial(const char *bytes, int length, int dataBytes)
{
    WriteLog(LanToSerialLog, bytes, length, dataBytes);
}

void LogSerialToLan(const char *bytes, int length, int dataBytes)
{
    WriteLog(SerialToLanLog, bytes, length, dataBytes);
}

static void EnableLogCommand(const ChannelFacts &facts, bool enable)
{
    EnableMenuItem(GetMenu(MainWindow), facts.menuCommand, MF_BYCOMMAND | (enable ? MF_ENABLED : MF_GRAYED));
}

// Each text line of the window is made wide enough for its whole text on
// one line (a long file name would otherwise wrap out of sight), and the
// window with it.
static void FitToText(HWND window, HWND item)
{
    // Measured in UTF-16, as GDI draws it.
    wchar_t text[sizeof FileNamePrefix + LogFileTitleCapacity];
    int length = GetWindowTextW(item, text, static_cast<int>(std::size(text)));
    HDC context = GetDC(item);
    HGDIOBJ old = SelectObject(context, reinterpret_cast<HGDIOBJ>(SendMessageW(item, WM_GETFONT, 0, 0)));
    SIZE extent = {};
    (void)GetTextExtentPoint32W(context, text, length, &extent);
    SelectObject(context, old);
    ReleaseDC(item, context);

    RECT bounds;
    GetWindowRect(item, &bounds);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT *>(&bounds), 2);
    int needed = extent.cx + GetSystemMetrics(SM_CXEDGE);
    if (needed <= bounds.right - bounds.left)
        return;
    SetWindowPos(item, nullptr, 0, 0, needed, bounds.bottom - bounds.top, SWP_NOMOVE | SWP_NOZORDER);
    RECT client, frame;
    GetClientRect(window, &client);
    int overflow = bounds.left + needed + bounds.left - client.right;
    if (overflow > 0) {
        GetWindowRect(window, &frame);
        SetWindowPos(window, nullptr, 0, 0, frame.right - frame.left + overflow, frame.bottom - frame.top,
                     SWP_NOMOVE | SWP_NOZORDER);
    }
}

static INT_PTR LogWindowProc(int channel, HWND window, UINT message, WPARAM wParam)
{
    const ChannelFacts &facts = *Channel(channel);
    switch (message) {
    case WM_INITDIALOG: {
        char text[sizeof FileNamePrefix + LogFileTitleCapacity];
        wsprintfA(text, "%s%s", FileNamePrefix, facts.log->fileName);
        SetItemText(window, IDC_LOG_FILE, text);
        SetItemText(window, IDC_LOG_DIRECTION, facts.direction);
        SetItemText(window, IDC_LOG_COUNT, NoBytesText);
        for (HWND item = GetWindow(window, GW_CHILD); item != nullptr; item = GetWindow(item, GW_HWNDNEXT)) {
            if (item != GetDlgItem(window, IDC_LOG_CLOSE))
                FitToText(window, item);
        }
        return TRUE;
    }
    case WM_LOG_COUNT:
        ShowCount(*facts.log, window);
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_LOG_CLOSE || LOWORD(wParam) == IDCANCEL) {
            CloseLogFile(channel);
            EnableLogCommand(facts, true);
            facts.log->window = nullptr;
            DestroyWindow(window);
        }
        return FALSE;
    default:
        return FALSE;
    }
}

static INT_PTR CALLBACK LanToSerialLogProc(HWND window, UINT message, WPARAM wParam, LPARAM)
{
    return LogWindowProc(LogLanToSerialChannel, window, message, wParam);
}

static INT_PTR CALLBACK SerialToLanLogProc(HWND window, UINT message, WPARAM wParam, LPARAM)
{
    return LogWindowProc(LogSerialToLanChannel, window, message, wParam);
}

void StartLog(HWND owner, int channel)
{
    const ChannelFacts *facts = Channel(channel);
    if (facts == nullptr || OpenLogFile(channel) == 0)
        return;
    EnableLogCommand(*facts, false);
    HWND window = CreateDialogParamW(AppInstance, MAKEINTRESOURCEW(facts->templateId), owner,
                                     channel == LogLanToSerialChannel ? LanToSerialLogProc : SerialToLanLogProc, 0);
    if (window == nullptr) {
        // A log nobody could close is no log.
        CloseLogFile(channel);
        EnableLogCommand(*facts, true);
        return;
    }
    facts->log->window = window;
    // Bytes logged before the window existed are shown at once.
    ShowCount(*facts->log, window);
    ShowWindow(window, SW_SHOW);
    UpdateWindow(window);
}

bool IsLogWindowMessage(MSG *message)
{
    for (TransferLog *log : {&LanToSerialLog, &SerialToLanLog}) {
        HWND window = log->window;
        if (window != nullptr && IsDialogMessageW(window, message))
            return true;
    }
    return false;
}
