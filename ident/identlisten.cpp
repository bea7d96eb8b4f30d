/* ident/identlisten.cpp: the IDENT port's listener. */
#include "identhandler.h"

#include "../common/accept.h"
#include "../common/platform.h"
#include "../common/state.h"

#include <stdio.h>

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
        char line[64];
        snprintf(line, sizeof(line), "- IndentListen LastError <%i>\r\n", PlatLastError());
        MsgOut("- IdentListen bind failure\r\n");
        MsgOut(line);
        return;
    }
    MsgOut("- Started to Listen for IDENT Connections\r\n");
    if (PlatListen(listenSocket, IDENT_BACKLOG) != 0) {
        char line[64];
        snprintf(line, sizeof(line), "- IndentListen LastError <%i>\r\n", PlatLastError());
        MsgOut("- IdentListen listen failure\r\n");
        MsgOut(line);
        return;
    }
    for (;;)
        StartHandler(IdentHandler, AcceptNext(listenSocket, nullptr, nullptr));
}
