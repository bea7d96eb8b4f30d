/* posix/files.cpp: the little the kept log needs of the file system beyond
   standard C: a folder's names, and cutting a file back. */
#include "../common/platform.h"

#include <dirent.h>
#include <unistd.h>

int PlatListDir(const char *dir, int (*each)(const char *name, void *ctx), void *ctx)
{
    DIR *d = opendir(dir);
    if (d == nullptr)
        return -1;
    while (const dirent *e = readdir(d))
        if (each(e->d_name, ctx) != 0)
            break;
    closedir(d);
    return 0;
}

int PlatTruncateFile(FILE *f, long size)
{
    return ftruncate(fileno(f), (off_t)size) == 0 ? 0 : -1;
}
