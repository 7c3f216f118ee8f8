// The start-up shortcut: a shell link to the running program in the current
// user's Startup folder, so that the bridge starts when the user logs on.
//
// Runs on the user-interface thread, from the option dialog. COM is entered
// for each creation and left again on every path, success or failure, so
// that one failed attempt never spoils the next; a thread on which COM was
// already entered (a file dialog does that) is left as it was found.
#include "dialogs.h"
#include "../shell/shell.h"
#include "../util/util.h"

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

static const char LinkFileName[] = "Quillmar.lnk";
static const char RegisteredText[] = "スタートアップへ登録しました。";
static const char NotRegisteredText[] = "スタートアップへ登録できません。";

// What the shell reports for a folder: the buffer the call requires, before
// the 255-byte limit is applied.
constexpr int ShellPathCapacity = MAX_PATH;

bool LinkPathInFolder(const char *folder, char *path, size_t capacity)
{
    return folder[0] != '\0' && JoinPath(folder, LinkFileName, path, capacity);
}

int CreateShellLink(const char *target, const char *link)
{
    HRESULT entered = CoInitialize(nullptr);
    // S_FALSE: COM was already entered on this thread; it is counted all the
    // same and left below. A thread in the multithreaded apartment can make a
    // shell link too, but must not be left.
    if (FAILED(entered) && entered != RPC_E_CHANGED_MODE)
        return 0;

    IShellLinkW *shellLink = nullptr;
    IPersistFile *persistFile = nullptr;
    bool saved =
        SUCCEEDED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   reinterpret_cast<void **>(&shellLink))) &&
        SUCCEEDED(shellLink->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&persistFile))) &&
        SUCCEEDED(shellLink->SetPath(WideText(target).c_str())) &&
        SUCCEEDED(persistFile->Save(WideText(link).c_str(), TRUE));

    if (shellLink != nullptr)
        shellLink->Release();
    if (persistFile != nullptr)
        persistFile->Release();
    if (SUCCEEDED(entered))
        CoUninitialize();
    return saved ? 1 : 0;
}

// A folder too long for folder as UTF-8 is not found: a cut name would be
// some other folder.
static bool StartupFolder(HWND owner, char (&folder)[ShellPathCapacity])
{
    PIDLIST_ABSOLUTE items = nullptr;
    if (FAILED(SHGetSpecialFolderLocation(owner, CSIDL_STARTUP, &items)))
        return false;
    wchar_t wide[ShellPathCapacity] = {};
    bool found = SHGetPathFromIDListW(items, wide) != FALSE && Utf8Into(wide, folder, sizeof folder);
    CoTaskMemFree(items);
    return found;
}

void RegisterStartupShortcut(HWND owner)
{
    char program[LinkPathCapacity] = {};
    char folder[ShellPathCapacity] = {};
    char link[LinkPathCapacity] = {};
    // A program name that does not fit is refused rather than cut.
    bool registered = ProgramFileName(program, sizeof program) && StartupFolder(owner, folder) &&
                      LinkPathInFolder(folder, link, sizeof link) && CreateShellLink(program, link) == 1;
    ShowMessage(owner, registered ? RegisteredText : NotRegisteredText, MB_OK | MB_ICONINFORMATION);
}
