/* bench/backlogshim.c: a preloaded stand-in for listen() that replaces
   every listen backlog with QUILLET_BENCH_BACKLOG. Only the benchmark's
   comparison runs load it, to show what a short backlog costs; the
   program itself is never built with it. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdlib.h>
#include <sys/socket.h>

int listen(int fd, int backlog)
{
    static int (*realListen)(int, int);
    if (realListen == NULL)
        realListen = (int (*)(int, int))dlsym(RTLD_NEXT, "listen");
    const char *value = getenv("QUILLET_BENCH_BACKLOG");
    if (value != NULL && atoi(value) > 0)
        backlog = atoi(value);
    return realListen(fd, backlog);
}
