/* tests/fault/nothreads.cpp: a seam for the console program, linked with
   --wrap, under which thread starts fail for a while, as pthread_create does
   when the system is out of threads or memory. The first two starts (the
   host link and the IDENT listener) succeed; the next FAILED_STARTS handler
   starts fail; every later one succeeds again. */
#include "../../common/platform.h"

#include <atomic>
#include <errno.h>

/* The platform's own call, and the seam's, under the linker's names. */
extern "C" {
int __real_PlatThreadStart(void (*fn)(void *), void *arg);
int __wrap_PlatThreadStart(void (*fn)(void *), void *arg);
}

static const int SERVICE_THREADS = 2;
static const int FAILED_STARTS = 3;
static std::atomic<int> iStarts(0);

int __wrap_PlatThreadStart(void (*fn)(void *), void *arg)
{
    int n = iStarts++;
    if (n >= SERVICE_THREADS && n < SERVICE_THREADS + FAILED_STARTS)
        return EAGAIN;
    return __real_PlatThreadStart(fn, arg);
}
