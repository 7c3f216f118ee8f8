"""The built Quillmar.exe hands its texts and paths to Windows through the W
calls only: an A call reads its bytes in the system's code page, which is
UTF-8 only from Windows 10 1903 on (the manifest's activeCodePage) and never
in GDI. Read from the import table; needs no Wine. A calls that carry no
text (PostMessageA, PeekMessageA, CreateEventA without a name) are not
listed."""
import re
import subprocess

from harness import QUILLMAR_EXE

OBJDUMP = "x86_64-w64-mingw32-objdump"
TIMEOUT = 60

# By DLL: windows, dialogs and their message loop (an ANSI window passes
# every text, typed ones too, through the code page), drawing, files and
# paths, the shell, the registry, the version record and the C runtime's
# narrow file names.
ANSI_TEXT_CALLS = {
    "USER32.dll": """MessageBoxA MessageBoxExA MessageBoxIndirectA SetWindowTextA GetWindowTextA GetWindowTextLengthA
        SetDlgItemTextA GetDlgItemTextA SendMessageA SendDlgItemMessageA SendMessageTimeoutA DefWindowProcA
        DefDlgProcA CallWindowProcA SetWindowLongPtrA RegisterClassA RegisterClassExA CreateWindowExA
        CreateDialogParamA DialogBoxParamA GetMessageA DispatchMessageA IsDialogMessageA DrawTextA DrawTextExA
        LoadStringA AppendMenuA InsertMenuA ModifyMenuA GetMenuStringA WinHelpA""",
    "GDI32.dll": """TextOutA ExtTextOutA GetTextExtentPoint32A GetTextExtentExPointA CreateFontA CreateFontIndirectA
        GetTextFaceA GetObjectA EnumFontFamiliesExA""",
    "KERNEL32.dll": """CreateFileA GetModuleFileNameA GetCurrentDirectoryA SetCurrentDirectoryA GetFullPathNameA
        GetFileAttributesA DeleteFileA CreateDirectoryA FindFirstFileA MoveFileA CopyFileA GetTempPathA
        GetPrivateProfileIntA GetPrivateProfileStringA WritePrivateProfileStringA GetSystemDirectoryA
        GetWindowsDirectoryA CreateProcessA FormatMessageA""",
    "COMCTL32.dll": "CreateStatusWindowA DrawStatusTextA",
    "comdlg32.dll": "GetOpenFileNameA GetSaveFileNameA",
    "SHELL32.dll": "ShellExecuteA ShellExecuteExA SHGetPathFromIDListA SHGetSpecialFolderPathA SHGetFolderPathA",
    "ADVAPI32.dll": "RegOpenKeyExA RegQueryValueExA RegEnumValueA RegSetValueExA",
    "VERSION.dll": "GetFileVersionInfoA GetFileVersionInfoSizeA GetFileVersionInfoExA GetFileVersionInfoSizeExA",
    "msvcrt.dll": "fopen freopen _open _sopen _fsopen _stat _access remove rename _unlink _mkdir _getcwd",
}


def imports(exe):
    """{(DLL name as the table spells it, function name)} of the exe."""
    done = subprocess.run([OBJDUMP, "-p", str(exe)], capture_output=True, text=True, timeout=TIMEOUT)
    assert done.returncode == 0, done.stderr
    found, dll = set(), None
    for line in done.stdout.splitlines():
        if match := re.match(r"\s*DLL Name: (\S+)", line):
            dll = match.group(1)
        elif dll and (match := re.match(r"\s*[0-9a-f]+\s+\d+\s+(\w+)$", line)):
            found.add((dll, match.group(1)))
    return found


def test_the_program_imports_no_ansi_text_call():
    imported = imports(QUILLMAR_EXE)
    assert ("USER32.dll", "SetDlgItemTextW") in imported, "the import table was read"
    listed = {(dll.lower(), name) for dll, names in ANSI_TEXT_CALLS.items() for name in names.split()}
    ansi = sorted(f"{name} ({dll})" for dll, name in imported
                  if (dll.lower(), name) in listed)
    assert not ansi, "ANSI text calls imported; use the W call with util's WideText/Utf8Text: " + ", ".join(ansi)
