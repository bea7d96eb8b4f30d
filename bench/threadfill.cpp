/* bench/threadfill.cpp: how many handler threads a Windows build can start,
   and the address space each one costs. Starts threads the way the
   handlers are started (PlatThreadStart, the same stack reservation), each
   waiting until the end, until a start fails or the count given is
   reached; then prints one RESULT line and lets them all go.

       quillet-threadfill.exe [MAX]

   Under Wine the figures are Wine's: it reserves at least 1 MiB of stack
   a thread, whatever is asked. */
#include "../common/platform.h"

#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

static HANDLE hLetGo;
static volatile LONG iStarted = 0;

static void Waiter(void *)
{
    InterlockedIncrement(&iStarted);
    WaitForSingleObject(hLetGo, INFINITE);
    InterlockedDecrement(&iStarted);
}

/* Bytes of address space reserved or committed in the process now. */
static uint64_t AddressSpaceInUse(void)
{
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    uint64_t used = 0;
    MEMORY_BASIC_INFORMATION mbi;
    for (char *p = (char *)si.lpMinimumApplicationAddress;
         p < (char *)si.lpMaximumApplicationAddress; p = (char *)mbi.BaseAddress + mbi.RegionSize) {
        if (VirtualQuery(p, &mbi, sizeof(mbi)) == 0)
            break;
        if (mbi.State != MEM_FREE)
            used += mbi.RegionSize;
    }
    return used;
}

int main(int argc, char **argv)
{
    int max = argc > 1 ? atoi(argv[1]) : 100000;
    hLetGo = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    PlatLimits limits = {-1, -1, -1};
    PlatHandlerLimits(&limits);
    uint64_t before = AddressSpaceInUse();
    DWORD t0 = GetTickCount();
    int started = 0;
    while (started < max && PlatThreadStart(Waiter, nullptr) == 0)
        started++;
    DWORD ms = GetTickCount() - t0;
    while (iStarted < started)
        Sleep(10);
    uint64_t after = AddressSpaceInUse();
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    uint64_t space = (uint64_t)((uintptr_t)si.lpMaximumApplicationAddress -
                                (uintptr_t)si.lpMinimumApplicationAddress);
    printf("RESULT mode=threadfill bits=%d started=%d stopped=%s space_mib=%llu "
           "per_thread_kib=%llu cap=%d start_ms=%lu\n",
           (int)sizeof(void *) * 8, started, started < max ? "start-failed" : "max",
           (unsigned long long)(space >> 20),
           (unsigned long long)(started > 0 ? (after - before) / (uint64_t)started / 1024 : 0),
           limits.ownThreads, (unsigned long)ms);
    fflush(stdout);
    SetEvent(hLetGo);
    return 0;
}

/* The platform half wants these from its front end; nothing here logs. */
void MsgOut(const char *) {}
int UserErr(const char *)
{
    return 1;
}
void FatalErr(const char *) {}
