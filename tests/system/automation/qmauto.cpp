// qmauto.exe: the system tests' hands and eyes inside Wine. It runs beside
// Quillmar in the same prefix, reads one request per line from stdin (fields
// separated by tabs) and answers each with one line of JSON on stdout:
// {"ok":true,"value":...} or {"ok":false,"error":"..."}.
//
// Window texts are read with the wide calls and passed on as UTF-8. What
// Wine does not carry across processes (menu state, status-bar texts) is
// asked of qmhook.dll, which a WH_CALLWNDPROC hook loads into Quillmar.
#include "automation.h"

#include <commctrl.h>
#include <dbt.h>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>
#include <winternl.h>
#include <string>
#include <vector>

namespace {

const DWORD ReplyTimeoutMs = 5000;

std::wstring Wide(const std::string &text)
{
    int size = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring out(size > 0 ? size - 1 : 0, L'\0');
    if (size > 1)
        MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), size);
    return out;
}

std::string Json(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) {
                char escaped[8];
                snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

std::string Json(long long number) { return std::to_string(number); }
std::string JsonBool(bool value) { return value ? "true" : "false"; }

// GetWindowText gives only the caption stored with another process's
// window; WM_GETTEXT asks the control itself (a drop-down list answers with
// its selected item), and Wine carries it across processes.
std::string WindowText(HWND window)
{
    wchar_t text[4096] = {};
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutW(window, WM_GETTEXT, std::size(text), reinterpret_cast<LPARAM>(text),
                             SMTO_ABORTIFHUNG, ReplyTimeoutMs, &copied))
        GetWindowTextW(window, text, static_cast<int>(std::size(text)));
    return Utf8(text);
}

// What the control itself holds: an edit keeps its text to itself, and
// GetWindowText from another process does not ask it.
std::string ControlText(HWND control)
{
    wchar_t text[4096] = {};
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(control, WM_GETTEXT, std::size(text), reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG,
                             ReplyTimeoutMs, &length))
        throw std::string("the control did not answer");
    return Utf8(text);
}

std::string ClassName(HWND window)
{
    wchar_t name[256] = {};
    GetClassNameW(window, name, static_cast<int>(std::size(name)));
    return Utf8(name);
}

HWND Handle(const std::string &field) { return reinterpret_cast<HWND>(strtoull(field.c_str(), nullptr, 0)); }

// A control of a window, or the window itself for id -1.
HWND Control(const std::vector<std::string> &fields)
{
    HWND window = Handle(fields.at(1));
    int id = atoi(fields.at(2).c_str());
    return id == -1 ? window : GetDlgItem(window, id);
}

std::string WindowRecord(HWND window)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    RECT rect = {};
    GetWindowRect(window, &rect);
    return "{\"hwnd\":" + Json(reinterpret_cast<long long>(window)) + ",\"class\":" + Json(ClassName(window)) +
           ",\"title\":" + Json(WindowText(window)) + ",\"pid\":" + Json(pid) +
           ",\"id\":" + Json(GetDlgCtrlID(window)) +
           ",\"visible\":" + JsonBool(IsWindowVisible(window)) + ",\"enabled\":" + JsonBool(IsWindowEnabled(window)) +
           ",\"style\":" + Json(static_cast<long long>(GetWindowLongW(window, GWL_STYLE) & 0xFFFFFFFFu)) +
           ",\"rect\":[" + Json(rect.left) + "," + Json(rect.top) + "," + Json(rect.right) + "," + Json(rect.bottom) +
           "]}";
}

BOOL CALLBACK CollectWindow(HWND window, LPARAM list)
{
    reinterpret_cast<std::vector<HWND> *>(list)->push_back(window);
    return TRUE;
}

std::string WindowList(const std::vector<HWND> &windows)
{
    std::string out = "[";
    for (size_t i = 0; i < windows.size(); ++i)
        out += (i ? "," : "") + WindowRecord(windows[i]);
    return out + "]";
}

// A visible dialog-class window with this caption: a message box, or one of
// the program's dialogs.
HWND FindDialog(const std::wstring &caption)
{
    HWND found = nullptr;
    while ((found = FindWindowExW(nullptr, found, L"#32770", caption.c_str())) != nullptr) {
        if (IsWindowVisible(found))
            return found;
    }
    return nullptr;
}

struct Hook {
    HMODULE module = nullptr;
    HOOKPROC procedure = nullptr;
    HHOOK hook = nullptr;
    DWORD thread = 0;
    HANDLE buffer = nullptr;
    char *view = nullptr;
    UINT message = 0;
} TheHook;

bool PrepareHook(std::string &error)
{
    if (TheHook.module != nullptr)
        return true;
    TheHook.module = LoadLibraryW(L"qmhook.dll");
    if (TheHook.module == nullptr) {
        error = "cannot load qmhook.dll: " + std::to_string(GetLastError());
        return false;
    }
    TheHook.procedure = reinterpret_cast<HOOKPROC>(
        reinterpret_cast<void (*)()>(GetProcAddress(TheHook.module, "AutomationHookProc")));
    TheHook.buffer = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, AutomationBufferSize,
                                        AutomationBufferName);
    if (TheHook.procedure == nullptr || TheHook.buffer == nullptr) {
        error = "hook set-up failed: " + std::to_string(GetLastError());
        return false;
    }
    TheHook.view = static_cast<char *>(MapViewOfFile(TheHook.buffer, FILE_MAP_WRITE, 0, 0, AutomationBufferSize));
    TheHook.message = RegisterWindowMessageW(AutomationMessageName);
    return TheHook.view != nullptr;
}

// Asks the hook inside the window's process; the answer comes back through
// the shared buffer.
bool AskInside(HWND window, AutomationQuery query, LPARAM argument, std::string &answer)
{
    if (!PrepareHook(answer))
        return false;
    DWORD thread = GetWindowThreadProcessId(window, nullptr);
    if (thread == 0) {
        answer = "no such window";
        return false;
    }
    if (thread != TheHook.thread) {
        if (TheHook.hook != nullptr)
            UnhookWindowsHookEx(TheHook.hook);
        TheHook.hook = SetWindowsHookExW(WH_CALLWNDPROC, TheHook.procedure, TheHook.module, thread);
        TheHook.thread = TheHook.hook != nullptr ? thread : 0;
        if (TheHook.hook == nullptr) {
            answer = "SetWindowsHookEx failed: " + std::to_string(GetLastError());
            return false;
        }
    }
    const char noAnswer = '\x02';
    TheHook.view[0] = noAnswer;
    TheHook.view[1] = '\0';
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(window, TheHook.message, query, argument, SMTO_ABORTIFHUNG, ReplyTimeoutMs, &result)) {
        answer = "the window did not answer: " + std::to_string(GetLastError());
        return false;
    }
    if (TheHook.view[0] == noAnswer) {
        answer = "the hook did not answer";
        return false;
    }
    if (TheHook.view[0] == '\x01') {
        answer = TheHook.view + 1;
        return false;
    }
    answer = TheHook.view;
    return true;
}

bool Screenshot(const std::string &path, HWND window, std::string &error)
{
    RECT area = {0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    if (window != nullptr && !GetWindowRect(window, &area)) {
        error = "no such window";
        return false;
    }
    int width = area.right - area.left, height = area.bottom - area.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void *bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, area.left, area.top, SRCCOPY);
    GdiFlush();
    DWORD stride = (width * 3 + 3) & ~3u;
    BITMAPFILEHEADER header = {};
    header.bfType = 0x4D42;
    header.bfOffBits = sizeof header + sizeof info.bmiHeader;
    header.bfSize = header.bfOffBits + stride * height;
    bool written = false;
    FILE *file = _wfopen(Wide(path).c_str(), L"wb");
    if (file != nullptr) {
        written = fwrite(&header, sizeof header, 1, file) == 1 &&
                  fwrite(&info.bmiHeader, sizeof info.bmiHeader, 1, file) == 1 &&
                  fwrite(bits, stride * height, 1, file) == 1;
        written = (fclose(file) == 0) && written;
    }
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    if (!written)
        error = "cannot write " + path;
    return written;
}

std::vector<std::string> Split(const std::string &line)
{
    std::vector<std::string> fields;
    size_t start = 0;
    for (;;) {
        size_t tab = line.find('\t', start);
        fields.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos)
            return fields;
        start = tab + 1;
    }
}

// Mouse input as the hardware would give it: the window under the point gets
// it, with the moves and cursor requests on the way.
void SendMouse(int x, int y, DWORD buttons)
{
    INPUT input = {};
    input.type = INPUT_MOUSE;
    // Absolute positions are in 1/65536 of the screen.
    input.mi.dx = MulDiv(x, 65536, GetSystemMetrics(SM_CXSCREEN)) + 1;
    input.mi.dy = MulDiv(y, 65536, GetSystemMetrics(SM_CYSCREEN)) + 1;
    input.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | buttons;
    SendInput(1, &input, sizeof input);
}

void PostKey(HWND window, WORD key)
{
    // The key goes where the keyboard would deliver it: the focus window of
    // the thread, so that the dialog manager sees it as typed.
    GUITHREADINFO gui = {};
    gui.cbSize = sizeof gui;
    DWORD thread = GetWindowThreadProcessId(window, nullptr);
    HWND target = GetGUIThreadInfo(thread, &gui) && gui.hwndFocus != nullptr ? gui.hwndFocus : window;
    UINT scan = MapVirtualKeyW(key, MAPVK_VK_TO_VSC);
    PostMessageW(target, WM_KEYDOWN, key, 1 | (scan << 16));
    PostMessageW(target, WM_KEYUP, key, 1 | (scan << 16) | (1u << 30) | (1u << 31));
}

// The handles a process holds, as the system's process list counts them
// (Wine answers GetProcessHandleCount with 0 for other processes; the list
// comes from the wineserver, which holds every handle).
std::string ProcessUsage(HWND window)
{
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    using QueryFunction = LONG(WINAPI *)(ULONG, PVOID, ULONG, PULONG);
    auto query = reinterpret_cast<QueryFunction>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
    if (query == nullptr)
        throw std::string("no NtQuerySystemInformation");
    std::vector<unsigned char> buffer(1 << 20);
    ULONG needed = 0;
    const ULONG SystemProcessInformation = 5;
    if (query(SystemProcessInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed) != 0)
        throw std::string("cannot list the processes");
    // The leading fields of SYSTEM_PROCESS_INFORMATION, as winternl.h has them.
    struct ProcessEntry {
        ULONG NextEntryOffset;
        ULONG NumberOfThreads;
        BYTE Reserved1[48];
        UNICODE_STRING ImageName;
        LONG BasePriority;
        HANDLE UniqueProcessId;
        PVOID Reserved2;
        ULONG HandleCount;
    };
    size_t offset = 0;
    for (;;) {
        const auto *entry = reinterpret_cast<const ProcessEntry *>(buffer.data() + offset);
        if (reinterpret_cast<ULONG_PTR>(entry->UniqueProcessId) == pid)
            return "{\"handles\":" + std::to_string(entry->HandleCount) + ",\"threads\":" +
                   std::to_string(entry->NumberOfThreads) + "}";
        if (entry->NextEntryOffset == 0)
            throw std::string("the window's process is not listed");
        offset += entry->NextEntryOffset;
    }
}

// Every item of a drop-down list, in its order; Wine carries the item texts
// across processes as it does WM_GETTEXT.
std::string ListItems(HWND control)
{
    DWORD_PTR count = 0;
    if (!SendMessageTimeoutW(control, CB_GETCOUNT, 0, 0, SMTO_ABORTIFHUNG, ReplyTimeoutMs, &count) ||
        static_cast<LRESULT>(count) < 0)
        throw std::string("the list did not say how many items it has");
    std::string out = "[";
    for (DWORD_PTR i = 0; i < count; ++i) {
        DWORD_PTR length = 0;
        if (!SendMessageTimeoutW(control, CB_GETLBTEXTLEN, i, 0, SMTO_ABORTIFHUNG, ReplyTimeoutMs, &length) ||
            static_cast<LRESULT>(length) < 0)
            throw std::string("the list did not give the length of item " + std::to_string(i));
        std::wstring text(length + 1, L'\0');
        DWORD_PTR copied = 0;
        if (!SendMessageTimeoutW(control, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG,
                                 ReplyTimeoutMs, &copied) ||
            static_cast<LRESULT>(copied) < 0)
            throw std::string("the list did not give item " + std::to_string(i));
        text.resize(copied);
        out += (i ? "," : "") + Json(Utf8(text));
    }
    return out + "]";
}

// The system's list of the serial ports present, as programs read it: what
// the mount manager made of every port the rig maps is replaced by exactly
// the values given (name, data, name, data, ...). The key is volatile, as
// the mount manager makes it: it lives only as long as the prefix's
// wineserver and never reaches the prefix's files.
void SetSerialPortList(const std::vector<std::string> &fields)
{
    HKEY key;
    LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, nullptr,
                                     REG_OPTION_VOLATILE, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS)
        throw std::string("cannot open SERIALCOMM: " + std::to_string(status));
    wchar_t name[16384];
    for (;;) {
        DWORD length = std::size(name);
        status = RegEnumValueW(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_SUCCESS)
            status = RegDeleteValueW(key, name);
        if (status != ERROR_SUCCESS)
            break;
    }
    if (status == ERROR_NO_MORE_ITEMS)
        status = ERROR_SUCCESS;
    for (size_t i = 1; status == ERROR_SUCCESS && i + 1 < fields.size(); i += 2) {
        std::wstring data = Wide(fields[i + 1]);
        status = RegSetValueExW(key, Wide(fields[i]).c_str(), 0, REG_SZ, reinterpret_cast<const BYTE *>(data.c_str()),
                                static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
    }
    RegCloseKey(key);
    if (status != ERROR_SUCCESS)
        throw std::string("cannot write SERIALCOMM: " + std::to_string(status));
}

// Returns the JSON answer to one request.
std::string Handle(const std::vector<std::string> &fields)
{
    const std::string &verb = fields.at(0);
    std::string error;
    if (verb == "ping")
        return Json("pong");
    if (verb == "windows") {
        std::vector<HWND> windows;
        EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&windows));
        return WindowList(windows);
    }
    if (verb == "find") {
        std::wstring className = Wide(fields.at(1)), title = Wide(fields.at(2));
        HWND window = FindWindowW(className.empty() ? nullptr : className.c_str(), title.c_str());
        return Json(reinterpret_cast<long long>(window));
    }
    if (verb == "dialog")
        return Json(reinterpret_cast<long long>(FindDialog(Wide(fields.at(1)))));
    if (verb == "children") {
        std::vector<HWND> windows;
        EnumChildWindows(Handle(fields.at(1)), CollectWindow, reinterpret_cast<LPARAM>(&windows));
        return WindowList(windows);
    }
    if (verb == "info") {
        HWND control = Control(fields);
        if (control == nullptr || !IsWindow(control))
            throw std::string("no such control");
        return WindowRecord(control);
    }
    if (verb == "text") {
        HWND control = Control(fields);
        if (control == nullptr)
            throw std::string("no such control");
        return Json(ControlText(control));
    }
    if (verb == "alive")
        return JsonBool(IsWindow(Handle(fields.at(1))));
    if (verb == "click") {
        HWND control = Control(fields);
        if (control == nullptr)
            throw std::string("no such control");
        return JsonBool(PostMessageW(control, BM_CLICK, 0, 0));
    }
    if (verb == "command") {
        WPARAM id = strtoul(fields.at(2).c_str(), nullptr, 0);
        return JsonBool(PostMessageW(Handle(fields.at(1)), WM_COMMAND, id, 0));
    }
    if (verb == "syscommand") {
        WPARAM command = strtoul(fields.at(2).c_str(), nullptr, 0);
        return JsonBool(PostMessageW(Handle(fields.at(1)), WM_SYSCOMMAND, command, 0));
    }
    if (verb == "devicechange") {
        // A serial port plugged in (0x8000) or out (0x8004), as the system
        // tells every top-level window: the port record in the window's form.
        HWND window = Handle(fields.at(1));
        WPARAM event = strtoul(fields.at(2).c_str(), nullptr, 0);
        std::wstring name = Wide(fields.at(3));
        std::vector<BYTE> record(sizeof(DEV_BROADCAST_PORT_W) + (name.size() + 1) * sizeof(wchar_t));
        auto *header = reinterpret_cast<DEV_BROADCAST_HDR *>(record.data());
        header->dbch_devicetype = DBT_DEVTYP_PORT;
        if (IsWindowUnicode(window)) {
            memcpy(reinterpret_cast<DEV_BROADCAST_PORT_W *>(header)->dbcp_name, name.c_str(),
                   (name.size() + 1) * sizeof(wchar_t));
            header->dbch_size = static_cast<DWORD>(offsetof(DEV_BROADCAST_PORT_W, dbcp_name) +
                                                   (name.size() + 1) * sizeof(wchar_t));
        } else {
            std::string narrow = fields.at(3);
            memcpy(reinterpret_cast<DEV_BROADCAST_PORT_A *>(header)->dbcp_name, narrow.c_str(), narrow.size() + 1);
            header->dbch_size = static_cast<DWORD>(offsetof(DEV_BROADCAST_PORT_A, dbcp_name) + narrow.size() + 1);
        }
        DWORD_PTR result = 0;
        return JsonBool(SendMessageTimeoutW(window, WM_DEVICECHANGE, event, reinterpret_cast<LPARAM>(header),
                                            SMTO_ABORTIFHUNG, ReplyTimeoutMs, &result) != 0);
    }
    if (verb == "key") {
        PostKey(Handle(fields.at(1)), static_cast<WORD>(strtoul(fields.at(2).c_str(), nullptr, 0)));
        return JsonBool(true);
    }
    if (verb == "settext") {
        HWND control = Control(fields);
        if (control == nullptr)
            throw std::string("no such control");
        std::wstring text = Wide(fields.at(3));
        DWORD_PTR result = 0;
        if (!SendMessageTimeoutW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_ABORTIFHUNG,
                                 ReplyTimeoutMs, &result))
            throw std::string("the control did not answer");
        return JsonBool(result != 0);
    }
    if (verb == "checked") {
        HWND control = Control(fields);
        if (control == nullptr)
            throw std::string("no such control");
        DWORD_PTR state = 0;
        if (!SendMessageTimeoutW(control, BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, ReplyTimeoutMs, &state))
            throw std::string("the control did not answer");
        return Json(static_cast<long long>(state));
    }
    if (verb == "setip") {
        // The address as dotted text, or "" to empty every field.
        HWND control = Control(fields);
        if (control == nullptr)
            throw std::string("no such control");
        const std::string &dotted = fields.at(3);
        DWORD_PTR result = 0;
        BOOL sent;
        if (dotted.empty()) {
            sent = SendMessageTimeoutW(control, IPM_CLEARADDRESS, 0, 0, SMTO_ABORTIFHUNG, ReplyTimeoutMs, &result);
        } else {
            unsigned octet[4] = {};
            if (sscanf(dotted.c_str(), "%u.%u.%u.%u", &octet[0], &octet[1], &octet[2], &octet[3]) != 4)
                throw std::string("not a dotted address: " + dotted);
            LPARAM address = MAKEIPADDRESS(octet[0], octet[1], octet[2], octet[3]);
            sent = SendMessageTimeoutW(control, IPM_SETADDRESS, 0, address, SMTO_ABORTIFHUNG, ReplyTimeoutMs, &result);
        }
        if (!sent)
            throw std::string("the control did not answer");
        return JsonBool(true);
    }
    if (verb == "move" || verb == "leftclick") {
        int x = atoi(fields.at(1).c_str()), y = atoi(fields.at(2).c_str());
        SendMouse(x, y, 0);
        if (verb == "leftclick") {
            SendMouse(x, y, MOUSEEVENTF_LEFTDOWN);
            SendMouse(x, y, MOUSEEVENTF_LEFTUP);
        }
        return JsonBool(true);
    }
    if (verb == "menu" || verb == "status" || verb == "parts" || verb == "ipaddress" || verb == "cursor") {
        AutomationQuery query = verb == "menu"        ? QueryMenu
                                : verb == "status"    ? QueryStatusText
                                : verb == "parts"     ? QueryStatusParts
                                : verb == "ipaddress" ? QueryIpAddress
                                                      : QueryCursor;
        LPARAM argument = fields.size() > 2 ? atoi(fields[2].c_str()) : 0;
        std::string answer;
        if (!AskInside(Handle(fields.at(1)), query, argument, answer))
            throw answer;
        return Json(answer);
    }
    if (verb == "selection" || verb == "select") {
        // A list's selected position (-1 for none), or a new one; neither
        // message carries a pointer, so both cross processes as they are.
        HWND control = Control(fields);
        if (control == nullptr)
            throw std::string("no such control");
        if (verb == "selection")
            return Json(static_cast<long long>(SendMessageW(control, CB_GETCURSEL, 0, 0)));
        WPARAM position = static_cast<WPARAM>(strtol(fields.at(3).c_str(), nullptr, 0));
        return Json(static_cast<long long>(SendMessageW(control, CB_SETCURSEL, position, 0)));
    }
    if (verb == "items") {
        HWND control = Control(fields);
        if (control == nullptr)
            throw std::string("no such control");
        return ListItems(control);
    }
    if (verb == "serialcomm") {
        SetSerialPortList(fields);
        return JsonBool(true);
    }
    if (verb == "open") {
        // Whether a device could be opened for exclusive use now: 0, or the
        // error (32 while another program holds it).
        HANDLE device = CreateFileA(fields.at(1).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (device == INVALID_HANDLE_VALUE)
            return Json(static_cast<long long>(GetLastError()));
        CloseHandle(device);
        return Json(0LL);
    }
    if (verb == "process")
        return ProcessUsage(Handle(fields.at(1)));
    if (verb == "screenshot") {
        HWND window = fields.size() > 2 ? Handle(fields[2]) : nullptr;
        if (!Screenshot(fields.at(1), window, error))
            throw error;
        return JsonBool(true);
    }
    throw std::string("unknown request " + verb);
}

}  // namespace

int main()
{
    // Answers are bytes, not text: no CR before each LF.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stdin), _O_BINARY);
    char line[8192];
    while (fgets(line, sizeof line, stdin) != nullptr) {
        std::string request(line);
        while (!request.empty() && (request.back() == '\n' || request.back() == '\r'))
            request.pop_back();
        if (request == "quit")
            break;
        std::string answer;
        try {
            answer = "{\"ok\":true,\"value\":" + Handle(Split(request)) + "}";
        } catch (const std::string &error) {
            answer = "{\"ok\":false,\"error\":" + Json(error) + "}";
        } catch (const std::exception &error) {
            answer = "{\"ok\":false,\"error\":" + Json(std::string("bad request: ") + error.what()) + "}";
        }
        fputs(answer.c_str(), stdout);
        fputc('\n', stdout);
        fflush(stdout);
    }
    return 0;
}
