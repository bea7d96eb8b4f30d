/* shell/oneinstance.cpp: one Quillet per host. A second copy (a double
   click on top of the logon start) could not bind port 113, yet would
   register its own notification port with the host server and take the
   board's records away from the first copy. */
#include "shell.h"

#include "resource.h"
#include "../common/version.h"

/* Held until the process ends, or until it ends for want of its host
   server, when a new copy must be free to start at once. */
static HANDLE hInstanceMutex;

/* Global\ spans every session of the machine. Creating a name there needs
   a privilege that ordinary accounts in remote sessions lack; they fall
   back on their own session. */
static const char GLOBAL_MUTEX[] = "Global\\" QUILLET_INSTANCE_MUTEX;
static const char LOCAL_MUTEX[] = "Local\\" QUILLET_INSTANCE_MUTEX;

/* A mutex in use by another copy, or null. */
static int bMutexInUse(HANDLE mutex)
{
    if (mutex != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return 1;
    }
    return 0;
}

int bClaimInstance(void)
{
    HANDLE mutex = CreateMutexA(nullptr, FALSE, GLOBAL_MUTEX);
    if (bMutexInUse(mutex))
        return 0;
    if (mutex == nullptr) {
        /* Denied: either another account's copy holds the name, or this
           account may not make global names at all. */
        HANDLE other = OpenMutexA(SYNCHRONIZE, FALSE, GLOBAL_MUTEX);
        if (other != nullptr || GetLastError() == ERROR_ACCESS_DENIED) {
            if (other != nullptr)
                CloseHandle(other);
            return 0;
        }
        mutex = CreateMutexA(nullptr, FALSE, LOCAL_MUTEX);
        if (bMutexInUse(mutex))
            return 0;
    }
    hInstanceMutex = mutex;
    return 1;
}

void ReleaseInstance(void)
{
    if (hInstanceMutex != nullptr)
        CloseHandle(hInstanceMutex);
    hInstanceMutex = nullptr;
}

void ShowRunningInstance(void)
{
    /* The running copy restores itself as its tray menu's Restore does; a
       copy still starting has no window yet and is left alone. */
    HWND running = FindWindowA("#32770", QUILLET_TITLE);
    if (running != nullptr)
        PostMessageA(running, WM_COMMAND, IDM_TRAY_RESTORE, 0);
}
