/* shell/oneinstance.cpp: one Quillet per host. A second copy (a double
   click on top of the logon start) could not bind port 113, yet would
   register its own notification port with the host server and take the
   board's records away from the first copy. */
#include "shell.h"

#include <sddl.h>
#include <stdio.h>
#include <tlhelp32.h>

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

/* Everyone may wait on the mutex and do nothing else with it: a second
   Quillet, under any account, sees it exists, and no other program can
   open it to hold it or change its rights. */
static const char MUTEX_SDDL[] = "D:(A;;0x00100000;;;WD)";

/* The process list's name of the program. */
static const char PROGRAM_FILE[] = "quillet.exe";

/* The mark of a copy that is the service's window, named with its process
   id: the process list must not take it for a copy that serves. Events
   may be made in Global\ from any session. */
static const char VIEWER_MARK_FORMAT[] = "Global\\" QUILLET_INSTANCE_MUTEX ".Viewer.%lu";

/* 1 when process pid has marked itself as the service's window. */
static int bViewer(DWORD pid)
{
    char name[96];
    snprintf(name, sizeof(name), VIEWER_MARK_FORMAT, (unsigned long)pid);
    HANDLE mark = OpenEventA(SYNCHRONIZE, FALSE, name);
    if (mark == nullptr)
        return 0;
    CloseHandle(mark);
    return 1;
}

void MarkViewer(void)
{
    char name[96];
    snprintf(name, sizeof(name), VIEWER_MARK_FORMAT, (unsigned long)GetCurrentProcessId());
    /* Kept open until the process ends. */
    CreateEventA(nullptr, TRUE, FALSE, name);
}

/* Makes or opens the named mutex, asking to wait on it only; GetLastError
   says ERROR_ALREADY_EXISTS for a name some copy made, or why it failed. */
static HANDLE MakeMutex(const char *name)
{
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, FALSE};
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (ConvertStringSecurityDescriptorToSecurityDescriptorA(MUTEX_SDDL, SDDL_REVISION_1, &sd,
                                                             nullptr))
        sa.lpSecurityDescriptor = sd;
    HANDLE mutex = CreateMutexExA(&sa, name, 0, SYNCHRONIZE);
    DWORD err = GetLastError();
    if (sd != nullptr)
        LocalFree(sd);
    SetLastError(err);
    return mutex;
}

/* 1 when another process runs quillet.exe and is not the service's window,
   else 0. */
int bOtherQuilletRuns(void)
{
    HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snap == INVALID_HANDLE_VALUE)
        return 1; /* cannot tell: as if one ran */
    PROCESSENTRY32 pe;
    pe.dwSize = sizeof(pe);
    int found = 0;
    for (BOOL more = Process32First(snap, &pe); more && !found; more = Process32Next(snap, &pe))
        found = lstrcmpiA(pe.szExeFile, PROGRAM_FILE) == 0 &&
                pe.th32ProcessID != GetCurrentProcessId() && !bViewer(pe.th32ProcessID);
    CloseHandle(snap);
    return found;
}

int bOtherQuilletStays(DWORD graceMs)
{
    DWORD start = GetTickCount();
    while (bOtherQuilletRuns()) {
        if (GetTickCount() - start >= graceMs)
            return 1;
        Sleep(100);
    }
    return 0;
}

InstanceClaim ClaimInstance(void)
{
    const char *names[] = {GLOBAL_MUTEX, LOCAL_MUTEX};
    for (const char *name : names) {
        HANDLE mutex = MakeMutex(name);
        if (mutex != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
            CloseHandle(mutex);
            return INSTANCE_TAKEN;
        }
        if (mutex != nullptr) {
            hInstanceMutex = mutex;
            return INSTANCE_CLAIMED;
        }
        /* Denied: the name exists and may not even be waited on (no
           Quillet made it so), or this account may not make global names
           at all (it then has its session's own). */
        HANDLE other = OpenMutexA(SYNCHRONIZE, FALSE, name);
        if (other != nullptr) {
            CloseHandle(other);
            return INSTANCE_TAKEN;
        }
        if (GetLastError() == ERROR_ACCESS_DENIED)
            return bOtherQuilletRuns() ? INSTANCE_TAKEN : INSTANCE_SQUATTED;
    }
    return INSTANCE_CLAIMED; /* no lock to be had: run rather than refuse */
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
