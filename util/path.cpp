// Joining a folder and a file name into a path that must fit a buffer.
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
