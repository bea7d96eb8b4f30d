/* ident/identlisten.cpp: the IDENT port's listener. */
#include "identlisten.h"

#include "identadmit.h"
#include "../common/accept.h"
#include "../common/platform.h"
#include "../common/state.h"

#include <stdio.h>

/* fixed texts */
static const char INVALID_SOCKET_LINE[] = "- IdentListen - Invalid Socket\r\n";
static const char BIND_FAILURE_LINE[] = "- IdentListen bind failure\r\n";

/* The port bound before the program gave up root, or what failed then
   (its line and error, written where a bind that fails here writes them). */
static PSocket EarlySocket = PSOCKET_INVALID;
static const char *sEarlyFailure = nullptr;
static int iEarlyError = 0;
static bool bBoundEarly = false;

/* The step that failed, then the system's error code err. The listening
   socket is left as it is: the thread ends and the port stays unserved. */
static void PortFailure(const char *stepLine, int err)
{
    char line[64];
    /* fixed text: keep the misspelling */
    snprintf(line, sizeof(line), "- IndentListen LastError <%i>\r\n", err);
    MsgOut(stepLine);
    MsgOut(line);
}

int BindIdentPortEarly(void)
{
    bBoundEarly = true;
    EarlySocket = PlatTcpSocket();
    if (EarlySocket == PSOCKET_INVALID) {
        sEarlyFailure = INVALID_SOCKET_LINE;
        return -1;
    }
    if (PlatBind(EarlySocket, 0, IDENT_PORT) != 0) {
        sEarlyFailure = BIND_FAILURE_LINE;
        iEarlyError = PlatLastError();
        return -1;
    }
    return 0;
}

/* The IDENT port's socket, made and bound now or earlier; PSOCKET_INVALID
   when that failed, with the lines said. */
static PSocket BoundSocket(void)
{
    if (bBoundEarly) {
        if (sEarlyFailure == INVALID_SOCKET_LINE)
            MsgOut(INVALID_SOCKET_LINE);
        else if (sEarlyFailure != nullptr)
            PortFailure(sEarlyFailure, iEarlyError);
        return sEarlyFailure == nullptr ? EarlySocket : PSOCKET_INVALID;
    }
    PSocket s = PlatTcpSocket();
    if (s == PSOCKET_INVALID) {
        MsgOut(INVALID_SOCKET_LINE);
        return s;
    }
    if (PlatBind(s, 0, IDENT_PORT) != 0) {
        PortFailure(BIND_FAILURE_LINE, PlatLastError());
        return PSOCKET_INVALID;
    }
    return s;
}

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
    for (;;) {
        PAddr peer = 0;
        TakeIdentPlace();
        PSocket s = AcceptInPlace(listenSocket, &peer, nullptr, PORT_IDENT);
        AdmitIdent(s, peer);
    }
}
