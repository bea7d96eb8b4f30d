/* notify/clientservice.cpp: the notification port and its handler. */
#include "clientservice.h"

#include "clientrec.h"
#include "refusals.h"
#include "../common/accept.h"
#include "../common/platform.h"
#include "../common/state.h"
#include "../common/textutil.h"
#include "../common/waits.h"
#include "../ident/nodetable.h"

#include <stdio.h>

static PSocket ListenSocket = PSOCKET_INVALID;

int OpenClientPort(void)
{
    ListenSocket = PlatTcpSocket();
    PlatBind(ListenSocket, 0, 0);
    return PlatLocalPort(ListenSocket);
}

int bLocalPeer(unsigned int peer, unsigned int local)
{
    return (peer >> 24) == 127 || peer == local ? 1 : 0;
}

static void RefusePeer(PSocket s, PAddr peer)
{
    char line[256];
    if (RefusalLine(peer, PlatTickMs(), line, sizeof(line)))
        MsgOut(line);
    PlatClose(s);
}

void ClientListen(void)
{
    PlatListen(ListenSocket, CLIENT_BACKLOG);
    for (;;) {
        PAddr peer = 0, local = 0;
        PSocket s = AcceptNext(ListenSocket, &peer, &local);
        if (bLocalPeer(peer, local))
            StartHandler(ClientHandler, s);
        else
            RefusePeer(s, peer);
    }
}

/* Receives until the record that the first byte announces is whole, the
   peer closes, or the idle time has passed. Returns the count received. */
static int ReceiveRecord(PSocket s, char *buf)
{
    int64_t deadline = PlatTickMs() + iIdleTimeoutMs;
    int len = 0;
    int need = CLIENT_RECV_MAX;
    while (len < need) {
        int64_t left = deadline - PlatTickMs();
        if (left < 0)
            left = 0;
        int n = PlatRecv(s, buf + len, CLIENT_RECV_MAX - len, (int)left);
        if (n <= 0)
            break;
        if (len == 0)
            need = ClientRecordSize(buf[0]);
        len += n;
    }
    return len;
}

static void HandleConnect(const ClientRecord *rec)
{
    char line[96];
    int bStored = SetNodeRec(rec->iNode, rec->iRemotePort, rec->iLocalPort, rec->sName) == 0;
    snprintf(line, sizeof(line), "- ClientHandler Connect received on node  <%i>\r\n", rec->iNode);
    MsgOut(line);
    if (!bStored) {
        snprintf(line, sizeof(line),
                 "- ClientHandler node <%i> is outside the node table, ignored\r\n", rec->iNode);
        MsgOut(line);
    }
}

static void HandleQuit(const ClientRecord *rec)
{
    char line[96];
    char node[4 * sizeof(rec->sNodeText)];
    EscapeControls(node, rec->sNodeText, sizeof(node));
    snprintf(line, sizeof(line), "- ClientHandler Quit received on node <%s>\r\n", node);
    MsgOut(line);
    if (ClearNodeRec(rec->iNode) != 0) {
        snprintf(line, sizeof(line),
                 "- ClientHandler node <%i> is outside the node table, ignored\r\n", rec->iNode);
        MsgOut(line);
    }
}

void ClientHandler(void *connection)
{
    PSocket s = ArgSocket(connection);
    iRcvdPalaverConnects++;

    char buf[CLIENT_RECV_MAX + 1];
    int len = ReceiveRecord(s, buf);
    if (len > 0) {
        buf[len] = '\0';
        ClientRecord rec;
        ReadClientRecord(buf, len, &rec);
        if (rec.kind == CLIENT_CONNECT)
            HandleConnect(&rec);
        else if (rec.kind == CLIENT_QUIT)
            HandleQuit(&rec);
        else
            MsgOut("- ClientHabdler Unknown client message\r\n");
    }
    PlatClose(s);
}
