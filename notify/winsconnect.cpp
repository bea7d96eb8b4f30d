/* notify/winsconnect.cpp: connecting to the host server and registering the
   notification port as the "quillet" service. */
#include "winsconnect.h"

#include "clientservice.h"
#include "../common/platform.h"
#include "../common/textutil.h"
#include "../common/state.h"
#include "../wcsrv/wcsrv.h"

#include <atomic>
#include <stdio.h>
#include <string.h>

/* With --wait-for-host: an unreachable host server is tried again this
   often, and every so many tries the log says how long it has waited; a
   host server that has gone is noticed within the watch interval (the
   link's calls are all there is to ask it by). */
static const int HOST_RETRY_MS = 5000;
static const int HOST_RETRY_LINE_EVERY = 10;
static const int HOST_WATCH_MS = 5000;
static const int GIVE_UP_LOOK_MS = 100;

/* fixed texts: no line end where the process ends after them */
static const char CONNECT_FAILED[] = "Unable to connect to WINS Server";
static const char MAKEWILD_FAILED[] = "Unable to get Makewild information";

char sSys_BBSName[SYS_TEXT_SIZE];
char sSys_RegString[SYS_TEXT_SIZE];

static TMakewild Makewild;
static TWildcatService Service;

/* The texts come from the host server, so they are written escaped. */
static void LogLine(const char *format, const char *text)
{
    char shown[4 * SYS_TEXT_SIZE];
    char line[sizeof(shown) + 64];
    EscapeControls(shown, text, sizeof(shown));
    snprintf(line, sizeof(line), format, shown);
    MsgOut(line);
}

static void LogNumber(const char *format, int value)
{
    char line[96];
    snprintf(line, sizeof(line), format, value);
    MsgOut(line);
}

/* Without its host the program can't serve, and ends. The desktop
   program's log dies with it, so the reason is also shown to the user. */
static void HostLost(const char *reason)
{
    MsgOut(reason);
    PlatEventLog(PEVENT_HOST_LOST, reason);
    FatalErr(reason);
    PlatExit(0);
}

/* How long to wait for the host server: 0 not at all, HOST_WAIT_ALWAYS,
   or seconds. Set before the link starts. */
static int iWaitForHostS = 0;

/* While the host is waited for with a limit: when to give up (0: not
   waiting), and the reason to give. */
static std::atomic<int64_t> tGiveUpMs(0);
static std::atomic<const char *> sLastReason(CONNECT_FAILED);

/* Set once a try has failed and the link waits. */
static std::atomic<int> bWaiting(0);

int bWaitingForHost(void)
{
    return bWaiting;
}

void SetWaitForHost(int seconds)
{
    iWaitForHostS = seconds;
}

/* Ends the process when a wait with a limit runs out, a try under way
   included, which may hang on a host that never answers. */
static void GiveUpWatch(void *)
{
    for (;;) {
        PlatSleep(GIVE_UP_LOOK_MS);
        int64_t giveUp = tGiveUpMs;
        if (giveUp != 0 && PlatTickMs() >= giveUp)
            HostLost(sLastReason);
    }
}

/* Connects to the host server and reads its configuration. Without
   waiting, a failure ends the process; with it, the reason is logged (a
   line, once for each reason) and the host tried again every few seconds
   until it answers or the limit passes. */
static void ReachHost(void *hwnd)
{
    if (iWaitForHostS > 0)
        tGiveUpMs = PlatTickMs() + (int64_t)iWaitForHostS * 1000;
    int64_t start = PlatTickMs();
    const char *logged = nullptr;
    bool bConnected = false;
    for (int tries = 1;; tries++) {
        const char *reason = CONNECT_FAILED;
        if (WildcatServerConnect(hwnd)) {
            if (!bConnected)
                MsgOut("- Connected to WINS Server\r\n");
            bConnected = true;
            reason = GetMakewild(&Makewild) ? nullptr : MAKEWILD_FAILED;
        }
        if (reason == nullptr) {
            tGiveUpMs = 0;
            return;
        }
        sLastReason = reason;
        if (iWaitForHostS == 0)
            HostLost(reason);
        bWaiting = 1;
        if (reason != logged) {
            char line[64];
            snprintf(line, sizeof(line), "%s\r\n", reason);
            MsgOut(line);
            logged = reason;
        }
        if (tries % HOST_RETRY_LINE_EVERY == 0)
            LogNumber("- Still waiting for the WINS Server after %i s\r\n",
                      (int)((PlatTickMs() - start) / 1000));
        PlatSleep(HOST_RETRY_MS);
    }
}

/* Asks the host server now and then whether it is still there; when it has
   gone (restarted, it forgets the registration), waits for it and
   registers the same notification port again. IDENT answers throughout
   from the table it has. */
static void WatchHost(void *hwnd)
{
    static TMakewild probe;
    for (;;) {
        PlatSleep(HOST_WATCH_MS);
        if (GetMakewild(&probe))
            continue;
        static const char LOST_LINE[] = "- Lost the WINS Server: waiting for it to come back\r\n";
        MsgOut(LOST_LINE);
        PlatEventLog(PEVENT_HOST_LOST, LOST_LINE);
        ReachHost(hwnd);
        WildcatServerCreateContext();
        char line[96];
        if (RegisterService(&Service))
            snprintf(line, sizeof(line),
                     "- Registered with the WINS Server again, Using Port Number %i\r\n",
                     Service.iPort);
        else
            snprintf(line, sizeof(line), "- IDENT Service registration failure\r\n");
        MsgOut(line);
        PlatEventLog(PEVENT_HOST_BACK, line);
    }
}

void WINSConnect(void *hwnd)
{
    MsgOut("- Connecting to WINS Server\r\n");
    if (iWaitForHostS > 0)
        PlatThreadStart(GiveUpWatch, nullptr);
    ReachHost(hwnd);
    CopyText(sSys_BBSName, Makewild.szBBSName, SYS_TEXT_SIZE);
    CopyText(sSys_RegString, Makewild.szRegString, SYS_TEXT_SIZE);
    LogLine("- Connected to %s\r\n", sSys_BBSName);
    LogLine("- Reg string   %s\r\n", sSys_RegString); /* fixed text: keep the blanks */

    MsgOut("- Creating WINS Server Context\r\n");
    if (!WildcatServerCreateContext())
        UserErr("Unable to connect to Create Context"); /* fixed text: keep the wording */
    if (PlatSockStartup() != 0)
        UserErr("Unable to initialise winsock");

    int port = OpenClientPort();
    memset(&Service, 0, sizeof(Service));
    strcpy(Service.szName, SERVICE_NAME);
    strcpy(Service.szVendor, SERVICE_VENDOR);
    Service.iVersion = SERVICE_VERSION;
    Service.iPort = port;
    /* Without the registration no Palaver finds the port, and every query
       will get NO-USER; the operator must see why. */
    if (RegisterService(&Service))
        MsgOut("- IDENT Service initialiased\r\n"); /* fixed text: keep the misspelling */
    else
        MsgOut("- IDENT Service registration failure\r\n");
    LogLine("- Service Name    %s\r\n", Service.szName);   /* fixed text: keep the blanks */
    LogLine("- Service Vendor  %s\r\n", Service.szVendor); /* fixed text: keep the blanks */
    LogNumber("- Service Version %i\r\n", Service.iVersion);
    LogNumber("- Using Port Number %i\r\n", port);
    /* A port that could not be opened has said so and is not served; the
       IDENT listener still runs. */
    if (port != 0)
        MsgOut("- Started to Listen for Palaver Connections\r\n");

    SetWINSStarted();
    if (iWaitForHostS != 0)
        PlatThreadStart(WatchHost, hwnd);
    if (port != 0)
        ClientListen();
}
