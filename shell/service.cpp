/* shell/service.cpp: quillet.exe --service, as the service control manager
   starts it. No window and no tray icon: it serves IDENT and the
   notification port as the desktop program does, its log goes to the kept
   log only and its failures to the event log, and it tells the manager
   where it stands, so that a stop request or a shutdown ends it cleanly
   within a few seconds. */
#include "shell.h"

#include "../app/services.h"
#include "../common/keptlog.h"
#include "../common/logqueue.h"
#include "../common/platform.h"
#include "../common/state.h"
#include "../common/version.h"

#include <stdio.h>
#include <string.h>

/* What the manager is told to wait for, at most, between two reports. */
static const DWORD START_HINT_MS = 3000;
static const DWORD STOP_HINT_MS = 5000;

/* How long a stop waits for the handlers at work, as the Quit button. */
static const int STOP_WAIT_MS = 3000;

/* How often the start looks whether it has got far enough to say so. */
static const DWORD START_LOOK_MS = 100;

/* How long a quillet.exe seen starting beside the service's start has to
   show itself the service's window: between its start and its mark, a
   copy that is becoming the window looks like one that serves. */
static const DWORD STARTING_COPY_GRACE_MS = 2000;

/* The status a service that would be a second Quillet ends with: its own
   code, which the manager's restart after a failure does not act on. */
static const DWORD SECOND_COPY_CODE = 1;

static SERVICE_STATUS_HANDLE hStatus;
static SERVICE_STATUS Status;
static HANDLE hStopEvent;

static void Report(DWORD state, DWORD waitHintMs)
{
    Status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    Status.dwCurrentState = state;
    Status.dwControlsAccepted =
        state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    Status.dwWaitHint = waitHintMs;
    Status.dwCheckPoint =
        state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : Status.dwCheckPoint + 1;
    SetServiceStatus(hStatus, &Status);
}

static DWORD WINAPI ControlHandler(DWORD control, DWORD, LPVOID, LPVOID)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        Report(SERVICE_STOP_PENDING, STOP_HINT_MS);
        SetEvent(hStopEvent);
        return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
        return NO_ERROR;
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

/* The kept log is the service's only log: without --log-dir, the folder
   the installer makes under the common application data folder. */
static void KeepLog(Switches *sw)
{
    if (sw->sLogDir[0] == '\0' && DefaultLogDir(sw->sLogDir, sizeof(sw->sLogDir)) == 0) {
        /* Made by the installer; made here, with the folder's rights, when
           the service was registered another way. */
        char *last = strrchr(sw->sLogDir, '\\');
        *last = '\0';
        CreateDirectoryA(sw->sLogDir, nullptr);
        *last = '\\';
        CreateDirectoryA(sw->sLogDir, nullptr);
    }
    StartKeptLog(sw);
}

static void WINAPI ServiceMain(DWORD, LPSTR *)
{
    hStatus = RegisterServiceCtrlHandlerExA(QUILLET_SERVICE_NAME, ControlHandler, nullptr);
    if (hStatus == nullptr)
        return;
    hStopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Report(SERVICE_START_PENDING, START_HINT_MS);
    ResetServices();
    KeepLog(&g_switches);
    /* A desktop copy that could make the mutex only in its own session, or
       runs without it, is seen in the process list. */
    if (ClaimInstance() == INSTANCE_TAKEN || bOtherQuilletStays(STARTING_COPY_GRACE_MS)) {
        static const char TAKEN_LINE[] =
            "- Another Quillet serves this host: the service stops, and serves nothing\r\n";
        ReleaseInstance();
        MsgOut(TAKEN_LINE);
        PlatEventLog(PEVENT_REFUSED, TAKEN_LINE);
        KeptLogDrain(LOG_DRAIN_MS);
        Status.dwWin32ExitCode = ERROR_SERVICE_SPECIFIC_ERROR;
        Status.dwServiceSpecificExitCode = SECOND_COPY_CODE;
        Report(SERVICE_STOPPED, 0);
        return;
    }
    SayStarted();
    StartServices(nullptr, &g_switches);
    /* Started once port 113 is served, or once the wait for the host
       server, which may be long, has begun. */
    while (!bWINSStarted() && !bWaitingForHost() &&
           WaitForSingleObject(hStopEvent, START_LOOK_MS) == WAIT_TIMEOUT)
        Report(SERVICE_START_PENDING, START_HINT_MS);
    Report(SERVICE_RUNNING, 0);
    WaitForSingleObject(hStopEvent, INFINITE);
    StopServices(STOP_WAIT_MS);
    static const char STOPPED_LINE[] = "- Stopped by the service control manager\r\n";
    MsgOut(STOPPED_LINE);
    PlatEventLog(PEVENT_STOPPED, STOPPED_LINE);
    KeptLogDrain(LOG_DRAIN_MS);
    Report(SERVICE_STOPPED, 0);
}

int RunService(void)
{
    bServiceMode = 1;
    /* The service always waits for its host server: nobody is there to
       start it again. */
    if (g_switches.iWaitForHost == 0)
        g_switches.iWaitForHost = HOST_WAIT_ALWAYS;
    SERVICE_TABLE_ENTRYA table[] = {{(LPSTR)QUILLET_SERVICE_NAME, ServiceMain}, {nullptr, nullptr}};
    if (StartServiceCtrlDispatcherA(table))
        return 0;
    bServiceMode = 0;
    if (GetLastError() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
        UserErr("quillet.exe --service is started by the service control manager only. To run "
                "Quillet by hand, start it without --service.");
    else
        UserErr("The service control manager did not take quillet.exe --service.");
    return SWITCHES_BAD_STATUS;
}
