/* ident/identlisten.cpp: the IDENT port's listener. */
#include "identlisten.h"

#include "identloop.h"
#include "../common/accept.h"
#include "../common/platform.h"
#include "../common/state.h"

#include <atomic>
#include <stdio.h>

/* fixed texts */
static const char INVALID_SOCKET_LINE[] = "- IdentListen - Invalid Socket\r\n";
static const char BIND_FAILURE_LINE[] = "- IdentListen bind failure\r\n";

/* Port 113's socket once made and bound (by the listener, or before the
   program gave up root), or what failed: the line and error, written by
   the listener at its place. */
static PSocket BoundPort = PSOCKET_INVALID;
static const char *sBindFailure = nullptr;
static int iBindError = 0;
static bool bBindTried = false;

/* The step that failed, then the system's error code err. The listening
   socket is left as it is: the thread ends and the port stays unserved. */
static void PortFailure(const char *stepLine, int err)
{
    char line[64];
    /* fixed text: keep the misspelling */
    snprintf(line, sizeof(line), "- IndentListen LastError <%i>\r\n", err);
    MsgOut(stepLine);
    MsgOut(line);
    char both[128];
    snprintf(both, sizeof(both), "%s%s", stepLine, line);
    PlatEventLog(PEVENT_PORT_FAILED, both);
}

int BindIdentPortEarly(void)
{
    bBindTried = true;
    BoundPort = PlatTcpSocket();
    if (BoundPort == PSOCKET_INVALID) {
        sBindFailure = INVALID_SOCKET_LINE;
        return -1;
    }
    if (PlatBind(BoundPort, 0, IDENT_PORT) != 0) {
        sBindFailure = BIND_FAILURE_LINE;
        iBindError = PlatLastError();
        return -1;
    }
    return 0;
}

/* The IDENT port's socket, made and bound now unless it was earlier;
   PSOCKET_INVALID when that failed, with the lines said. */
static PSocket BoundSocket(void)
{
    if (!bBindTried)
        BindIdentPortEarly();
    if (sBindFailure == INVALID_SOCKET_LINE) {
        MsgOut(INVALID_SOCKET_LINE);
        PlatEventLog(PEVENT_PORT_FAILED, INVALID_SOCKET_LINE);
    } else if (sBindFailure != nullptr)
        PortFailure(sBindFailure, iBindError);
    return sBindFailure == nullptr ? BoundPort : PSOCKET_INVALID;
}

/* The service's loop once it runs, and whether it was stopped before. */
static std::atomic<IdentLoop *> ServiceLoop(nullptr);
static std::atomic<int> bServiceStopped(0);

void IdentListen(void *hwnd)
{
    (void)hwnd;
    /* No socket may be made before the host server link has started the
       socket library. */
    WaitWINSStarted();

    PSocket listenSocket = BoundSocket();
    if (listenSocket == PSOCKET_INVALID)
        return;
    MsgOut("- Started to Listen for IDENT Connections\r\n");
    if (PlatListen(listenSocket, IDENT_BACKLOG) != 0) {
        PortFailure("- IdentListen listen failure\r\n", PlatLastError());
        return;
    }
    IdentLoop *loop = IdentLoopNew(IdentCap());
    if (loop == nullptr) {
        PortFailure("- IdentListen loop failure\r\n", PlatLastError());
        return;
    }
    ServiceLoop = loop;
    if (bServiceStopped)
        IdentLoopStop(loop);
    IdentLoopRun(loop, listenSocket);
}

void StopIdentService(void)
{
    bServiceStopped = 1;
    IdentLoop *loop = ServiceLoop;
    if (loop != nullptr)
        IdentLoopStop(loop);
}

int IdentServiceHeld(void)
{
    IdentLoop *loop = ServiceLoop;
    return loop != nullptr ? IdentLoopHeld(loop) : 0;
}
