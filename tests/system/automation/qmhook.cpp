// Test hook DLL, loaded into Quillmar's process by a WH_CALLWNDPROC hook that
// qmauto.exe installs on the window's thread. It answers the questions that
// Wine does not carry across processes (menu state, status-bar texts, an
// IP-address control's address, the thread's cursor) by looking from
// inside, and writes the answer as UTF-8 to shared memory.
#include "automation.h"

#include <commctrl.h>
#include <string>

namespace {

// One line per item: depth, id, flags (g grayed, c checked,
// s separator, p popup), text.
void DumpMenu(HMENU menu, int depth, std::string &out)
{
    int count = GetMenuItemCount(menu);
    for (int i = 0; i < count; ++i) {
        wchar_t text[256] = {};
        MENUITEMINFOW item = {};
        item.cbSize = sizeof item;
        item.fMask = MIIM_ID | MIIM_STATE | MIIM_FTYPE | MIIM_SUBMENU | MIIM_STRING;
        item.dwTypeData = text;
        item.cch = static_cast<UINT>(std::size(text) - 1);
        if (!GetMenuItemInfoW(menu, i, TRUE, &item))
            continue;
        std::string flags;
        // Separators always read as grayed; only their kind tells.
        if ((item.fState & MFS_GRAYED) && !(item.fType & MFT_SEPARATOR))
            flags += 'g';
        if (item.fState & MFS_CHECKED)
            flags += 'c';
        if (item.fType & MFT_SEPARATOR)
            flags += 's';
        if (item.hSubMenu != nullptr)
            flags += 'p';
        out += std::to_string(depth) + "\t" + std::to_string(item.hSubMenu ? -1 : static_cast<int>(item.wID)) +
               "\t" + flags + "\t" + Utf8(text) + "\n";
        if (item.hSubMenu != nullptr)
            DumpMenu(item.hSubMenu, depth + 1, out);
    }
}

std::string Answer(HWND window, WPARAM query, LPARAM argument)
{
    HWND statusBar = FindWindowExW(window, nullptr, STATUSCLASSNAMEW, nullptr);
    switch (query) {
    case QueryMenu: {
        std::string out;
        HMENU menu = GetMenu(window);
        if (menu != nullptr)
            DumpMenu(menu, 0, out);
        return out;
    }
    case QueryStatusText: {
        if (statusBar == nullptr)
            return "\x01no status bar";
        wchar_t text[1024] = {};
        LRESULT length = SendMessageW(statusBar, SB_GETTEXTLENGTHW, argument, 0);
        if (LOWORD(length) >= std::size(text))
            return "\x01too long";
        SendMessageW(statusBar, SB_GETTEXTW, argument, reinterpret_cast<LPARAM>(text));
        return Utf8(text);
    }
    case QueryStatusParts: {
        if (statusBar == nullptr)
            return "\x01no status bar";
        int edges[256] = {};
        int count = static_cast<int>(SendMessageW(statusBar, SB_GETPARTS, std::size(edges),
                                                  reinterpret_cast<LPARAM>(edges)));
        std::string out;
        for (int i = 0; i < count; ++i)
            out += (i ? " " : "") + std::to_string(edges[i]);
        return out;
    }
    case QueryIpAddress: {
        HWND control = GetDlgItem(window, static_cast<int>(argument));
        if (control == nullptr)
            return "\x01no such control";
        DWORD address = 0;
        LRESULT filled = SendMessageW(control, IPM_GETADDRESS, 0, reinterpret_cast<LPARAM>(&address));
        wchar_t text[64] = {};
        GetWindowTextW(control, text, static_cast<int>(std::size(text)));
        return std::to_string(filled) + "\t" + std::to_string(FIRST_IPADDRESS(address)) + "." +
               std::to_string(SECOND_IPADDRESS(address)) + "." + std::to_string(THIRD_IPADDRESS(address)) + "." +
               std::to_string(FOURTH_IPADDRESS(address)) + "\t" + Utf8(text);
    }
    case QueryCursor: {
        HCURSOR cursor = GetCursor();
        if (cursor == LoadCursorW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(HandCursorId)))
            return "hand";
        if (cursor == LoadCursorA(nullptr, IDC_ARROW))
            return "arrow";
        return "other";
    }
    default:
        return "\x01unknown query";
    }
}

void Reply(const std::string &text)
{
    HANDLE mapping = OpenFileMappingW(FILE_MAP_WRITE, FALSE, AutomationBufferName);
    if (mapping == nullptr)
        return;
    char *buffer = static_cast<char *>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, AutomationBufferSize));
    if (buffer != nullptr) {
        size_t length = text.size() < AutomationBufferSize - 1 ? text.size() : AutomationBufferSize - 1;
        memcpy(buffer, text.data(), length);
        buffer[length] = '\0';
        UnmapViewOfFile(buffer);
    }
    CloseHandle(mapping);
}

}  // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK AutomationHookProc(int code, WPARAM wParam, LPARAM lParam)
{
    static const UINT message = RegisterWindowMessageW(AutomationMessageName);
    if (code == HC_ACTION) {
        const CWPSTRUCT *sent = reinterpret_cast<const CWPSTRUCT *>(lParam);
        if (sent->message == message)
            Reply(Answer(sent->hwnd, sent->wParam, sent->lParam));
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}
