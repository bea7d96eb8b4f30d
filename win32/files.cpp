/* win32/files.cpp: the little the kept log needs of the file system beyond
   standard C: a folder's names, and cutting a file back. */
#include "../common/platform.h"

#include <windows.h>
#include <io.h>
#include <string>

int PlatListDir(const char *dir, int (*each)(const char *name, void *ctx), void *ctx)
{
    WIN32_FIND_DATAA found;
    HANDLE h = FindFirstFileA((std::string(dir) + "\\*").c_str(), &found);
    if (h == INVALID_HANDLE_VALUE)
        return -1;
    do {
        if (each(found.cFileName, ctx) != 0)
            break;
    } while (FindNextFileA(h, &found));
    FindClose(h);
    return 0;
}

int PlatTruncateFile(FILE *f, long size)
{
    return _chsize(_fileno(f), size) == 0 ? 0 : -1;
}
