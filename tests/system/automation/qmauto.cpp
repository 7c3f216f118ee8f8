// qmauto.exe: the system tests' hands and eyes inside Wine. It runs beside
// Quillmar in the same prefix, reads one request per line from stdin (fields
// separated by tabs) and answers each with one line of JSON on stdout:
// {"ok":true,"value":...} or {"ok":false,"error":"..."}.
//
// Window texts are read with the wide calls and passed on as UTF-8. What
// Wine does not carry across processes (menu state, status-bar texts) is
// asked of qmhook.dll, which a WH_CALLWNDPROC hook loads into Quillmar.
#include "automation.h"

#include <cstdio>
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

std::string WindowText(HWND window)
{
    wchar_t text[4096] = {};
    GetWindowTextW(window, text, static_cast<int>(std::size(text)));
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
        return Json(WindowText(control));
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
    if (verb == "key") {
        PostKey(Handle(fields.at(1)), static_cast<WORD>(strtoul(fields.at(2).c_str(), nullptr, 0)));
        return JsonBool(true);
    }
    if (verb == "menu" || verb == "status" || verb == "parts") {
        AutomationQuery query = verb == "menu" ? QueryMenu : verb == "status" ? QueryStatusText : QueryStatusParts;
        LPARAM argument = fields.size() > 2 ? atoi(fields[2].c_str()) : 0;
        std::string answer;
        if (!AskInside(Handle(fields.at(1)), query, argument, answer))
            throw answer;
        return Json(answer);
    }
    if (verb == "settext") {
        // WM_SETTEXT is carried across processes with its text.
        HWND control = Control(fields);
        if (control == nullptr)
            throw std::string("no such control");
        return JsonBool(SetWindowTextW(control, Wide(fields.at(3)).c_str()));
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
