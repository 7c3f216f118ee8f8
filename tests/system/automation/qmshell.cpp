// qmshell.exe: the system tests' look at the Windows shell inside the Wine
// prefix, one command per run, the answer as UTF-8 on stdout:
//
//   qmshell startup                      the current user's Startup folder
//   qmshell resolve LINK                 the target of a shell link, read through IShellLinkA
//   qmshell handler SCHEME               the command that opens SCHEME: URLs (exit 3: none)
//   qmshell sethandler SCHEME COMMAND    sets that command
//   qmshell removehandler SCHEME         removes the scheme's open command
//   qmshell record FILE ARGS...          writes ARGS, one a line, to FILE: a stand-in URL handler
//
// Exit status 0 on success, 1 on a failure (the reason on stderr), 2 for bad use.
#include "automation.h"

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <cstdio>
#include <string>

namespace {

constexpr int ExitFailed = 1;
constexpr int ExitUsage = 2;
constexpr int ExitNoHandler = 3;

int Fail(const std::string &why)
{
    fprintf(stderr, "%s\n", why.c_str());
    return ExitFailed;
}

void Print(const std::wstring &text)
{
    fputs(Utf8(text).c_str(), stdout);
}

std::wstring CommandKey(const std::wstring &scheme) { return scheme + L"\\shell\\open\\command"; }

int Startup()
{
    wchar_t folder[MAX_PATH] = {};
    HRESULT result = SHGetFolderPathW(nullptr, CSIDL_STARTUP, nullptr, SHGFP_TYPE_CURRENT, folder);
    if (FAILED(result))
        return Fail("SHGetFolderPath failed: " + std::to_string(result));
    Print(folder);
    return 0;
}

int Resolve(const wchar_t *link)
{
    if (FAILED(CoInitialize(nullptr)))
        return Fail("CoInitialize failed");
    IShellLinkA *shellLink = nullptr;
    IPersistFile *file = nullptr;
    char target[MAX_PATH] = {};
    HRESULT result = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkA,
                                      reinterpret_cast<void **>(&shellLink));
    if (SUCCEEDED(result))
        result = shellLink->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&file));
    if (SUCCEEDED(result))
        result = file->Load(link, STGM_READ);
    if (SUCCEEDED(result))
        result = shellLink->GetPath(target, sizeof target, nullptr, SLGP_RAWPATH);
    if (file != nullptr)
        file->Release();
    if (shellLink != nullptr)
        shellLink->Release();
    CoUninitialize();
    if (FAILED(result))
        return Fail("cannot read the link: " + std::to_string(result));
    // The link holds the target in the code page of whoever wrote it; the
    // program writes UTF-8.
    fputs(target, stdout);
    return 0;
}

int Handler(const std::wstring &scheme)
{
    wchar_t command[4096] = {};
    DWORD size = sizeof command;
    LSTATUS status = RegGetValueW(HKEY_CLASSES_ROOT, CommandKey(scheme).c_str(), nullptr, RRF_RT_REG_SZ,
                                  nullptr, command, &size);
    if (status == ERROR_FILE_NOT_FOUND)
        return ExitNoHandler;
    if (status != ERROR_SUCCESS)
        return Fail("RegGetValue failed: " + std::to_string(status));
    Print(command);
    return 0;
}

int SetHandler(const std::wstring &scheme, const std::wstring &command)
{
    HKEY key = nullptr;
    LSTATUS status = RegCreateKeyExW(HKEY_CLASSES_ROOT, CommandKey(scheme).c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                                     nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS)
        return Fail("RegCreateKeyEx failed: " + std::to_string(status));
    status = RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(command.c_str()),
                            static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? 0 : Fail("RegSetValueEx failed: " + std::to_string(status));
}

int RemoveHandler(const std::wstring &scheme)
{
    LSTATUS status = RegDeleteKeyW(HKEY_CLASSES_ROOT, CommandKey(scheme).c_str());
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND ? 0
                                                                      : Fail("RegDeleteKey failed: " + std::to_string(status));
}

int Record(const wchar_t *path, int count, wchar_t **arguments)
{
    std::wstring lines;
    for (int i = 0; i < count; ++i)
        lines += std::wstring(arguments[i]) + L"\n";
    std::string bytes = Utf8(lines);
    // Written whole under a temporary name first, so that a reader never sees half of it.
    std::wstring temporary = std::wstring(path) + L".new";
    FILE *file = _wfopen(temporary.c_str(), L"wb");
    if (file == nullptr)
        return Fail("cannot write the record");
    bool written = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    written = fclose(file) == 0 && written;
    if (!written || !MoveFileExW(temporary.c_str(), path, MOVEFILE_REPLACE_EXISTING))
        return Fail("cannot write the record");
    return 0;
}

}  // namespace

int wmain(int count, wchar_t **arguments)
{
    std::wstring verb = count > 1 ? arguments[1] : L"";
    if (verb == L"startup" && count == 2)
        return Startup();
    if (verb == L"resolve" && count == 3)
        return Resolve(arguments[2]);
    if (verb == L"handler" && count == 3)
        return Handler(arguments[2]);
    if (verb == L"sethandler" && count == 4)
        return SetHandler(arguments[2], arguments[3]);
    if (verb == L"removehandler" && count == 3)
        return RemoveHandler(arguments[2]);
    if (verb == L"record" && count >= 3)
        return Record(arguments[2], count - 3, arguments + 3);
    fprintf(stderr, "usage: qmshell startup | resolve LINK | handler SCHEME | sethandler SCHEME COMMAND | "
                    "removehandler SCHEME | record FILE ARGS...\n");
    return ExitUsage;
}
