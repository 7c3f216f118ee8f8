// Paths that must fit a buffer: a folder and a file name joined, and the
// name and folder of the running program.
#include "util.h"

#include <cstring>

bool JoinPath(const char *folder, const char *file, char *path, size_t capacity)
{
    size_t folderLength = strlen(folder);
    size_t fileLength = strlen(file);
    // A root folder ("C:\") ends in a backslash already.
    bool separator = folderLength == 0 || folder[folderLength - 1] != '\\';
    if (folderLength + separator + fileLength + 1 > capacity)
        return false;
    memmove(path, folder, folderLength);
    if (separator)
        path[folderLength++] = '\\';
    memcpy(path + folderLength, file, fileLength + 1);
    return true;
}

bool ProgramFileName(char *buffer, size_t capacity)
{
    if (capacity == 0)
        return false;
    // UTF-8 never takes fewer bytes than UTF-16 takes units: a name that
    // fits capacity bytes fits capacity units.
    std::wstring wide(capacity, L'\0');
    DWORD length = GetModuleFileNameW(nullptr, wide.data(), static_cast<DWORD>(capacity));
    // A full buffer means the name was cut: a directory taken from it would
    // name some other folder.
    if (length == 0 || length >= capacity || !Utf8Into(wide.c_str(), buffer, capacity)) {
        buffer[0] = '\0';
        return false;
    }
    return true;
}

int ModulePath(int size, char *buffer)
{
    if (size <= 0 || !ProgramFileName(buffer, static_cast<size_t>(size)))
        return 1;
    char *lastSlash = strrchr(buffer, '\\');
    if (lastSlash != nullptr)
        *lastSlash = '\0';
    return 0;
}
