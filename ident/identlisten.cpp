/* ident/identlisten.cpp: the IDENT port's listener. */
#include "identlisten.h"

#include "identadmit.h"
#include "../common/accept.h"
#include "../common/platform.h"
#include "../common/state.h"

#include <stdio.h>

/* The step that failed, then the system's error code. The listening socket
   is left as it is: the thread ends and the port stays unserved. */
static void PortFailure(const char *stepLine)
{
    char line[64];
    /* fixed text: keep the misspelling */
    snprintf(line, sizeof(line), "- IndentListen LastError <%i>\r\n", PlatLastError());
    MsgOut(stepLine);
    MsgOut(line);
}

void IdentListen(void *hwnd)
{
    (void)hwnd;
    /* No socket may be made before the host server link has started the
       socket library. */
    WaitWINSStarted();

    PSocket listenSocket = PlatTcpSocket();
    if (listenSocket == PSOCKET_INVALID) {
        MsgOut("- IdentListen - Invalid Socket\r\n");
        return;
    }
    if (PlatBind(listenSocket, 0, IDENT_PORT) != 0) {
        PortFailure("- IdentListen bind failure\r\n");
        return;
    }
    MsgOut("- Started to Listen for IDENT Connections\r\n");
    if (PlatListen(listenSocket, IDENT_BACKLOG) != 0) {
        PortFailure("- IdentListen listen failure\r\n");
        return;
    }
    for (;;) {
        PAddr peer = 0;
        TakeIdentPlace();
        PSocket s = AcceptInPlace(listenSocket, &peer, nullptr, PORT_IDENT);
        AdmitIdent(s, peer);
    }
}
