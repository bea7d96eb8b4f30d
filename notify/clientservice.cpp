/* notify/clientservice.cpp: the notification port and its handler. */
#include "clientservice.h"

#include "binding.h"
#include "clientrec.h"
#include "refusals.h"
#include "../common/accept.h"
#include "../common/platform.h"
#include "../common/state.h"
#include "../common/textutil.h"
#include "../common/waits.h"
#include "../ident/identhandler.h"
#include "../ident/identquery.h"
#include "../ident/ircname.h"
#include "../ident/nodetable.h"

#include <stdio.h>
#include <string.h>

static PSocket ListenSocket = PSOCKET_INVALID;

/* Logs the step of opening the port that failed, with the system's error
   code, and gives the port up: it is registered as 0 and never served. */
static int PortFailure(const char *step)
{
    int err = PlatLastError();
    char line[64], errLine[64], both[128];
    snprintf(line, sizeof(line), "- ClientListen %s failure\r\n", step);
    MsgOut(line);
    snprintf(errLine, sizeof(errLine), "- ClientListen LastError <%i>\r\n", err);
    MsgOut(errLine);
    snprintf(both, sizeof(both), "%s%s", line, errLine);
    PlatEventLog(PEVENT_PORT_FAILED, both);
    if (ListenSocket != PSOCKET_INVALID)
        PlatClose(ListenSocket);
    ListenSocket = PSOCKET_INVALID;
    return 0;
}

/* The port listens before it is registered, so that whatever the host
   server hands out can take records at once. */
int OpenClientPort(void)
{
    ListenSocket = PlatTcpSocket();
    if (ListenSocket == PSOCKET_INVALID)
        return PortFailure("socket");
    if (PlatBind(ListenSocket, 0, 0) != 0)
        return PortFailure("bind");
    int port = PlatLocalPort(ListenSocket);
    if (port == 0)
        return PortFailure("getsockname");
    if (PlatListen(ListenSocket, CLIENT_BACKLOG) != 0)
        return PortFailure("listen");
    return port;
}

int bLocalPeer(unsigned int peer, unsigned int local)
{
    return (peer >> 24) == 127 || peer == local ? 1 : 0;
}

/* Room for every line one refusal can make due. */
static const int REFUSAL_TEXT_SIZE = 1024;

static void RefusePeer(PSocket s, PAddr peer)
{
    iRcvdPalaverConnects++;
    char text[REFUSAL_TEXT_SIZE];
    if (RefusalLine(peer, PlatTickMs(), text, sizeof(text)))
        MsgOut(text);
    PlatClose(s);
}

void AdmitClient(PSocket s, PAddr peer, PAddr local)
{
    char text[REFUSAL_TEXT_SIZE];
    if (RefusalSweep(PlatTickMs(), text, sizeof(text)))
        MsgOut(text);
    if (bLocalPeer(peer, local) || PlatHostHasAddr(peer))
        StartHandler(ClientHandler, s);
    else {
        RefusePeer(s, peer);
        GiveBackHandlerPlace();
    }
}

void ClientListen(void)
{
    for (;;) {
        PAddr peer = 0, local = 0;
        PSocket s = AcceptNext(ListenSocket, &peer, &local);
        AdmitClient(s, peer, local);
    }
}

/* Receives until the record that the first byte announces is whole, the
   peer closes, or the idle time has passed. Returns the count received. */
static int ReceiveRecord(PSocket s, char *buf)
{
    int64_t deadline = PlatTickMs() + iIdleTimeoutMs;
    int len = 0;
    while (len == 0 || !bClientRecordComplete(buf, len)) {
        int64_t left = deadline - PlatTickMs();
        if (left < 0)
            left = 0;
        int n = PlatRecv(s, buf + len, CLIENT_RECV_MAX - len, (int)left);
        if (n <= 0)
            break;
        len += n;
    }
    return len;
}

/* A sender may end its record after the last text and send the rest of its
   fixed size after that; closing on unread bytes would answer those with a
   reset. So the rest is read and dropped, until the record's full size has
   come or the sender closes, for at most this long. */
static const int RECORD_REST_MS = 1000;

static void DrainRecord(PSocket s, const char *buf, int len)
{
    int64_t deadline = PlatTickMs() + RECORD_REST_MS;
    int size = ClientRecordSize(buf[0]);
    char rest[sizeof(ClientCrec)];
    while (len < size) {
        int64_t left = deadline - PlatTickMs();
        if (left <= 0)
            break;
        int n = PlatRecv(s, rest, size - len, (int)left);
        if (n <= 0)
            break;
        len += n;
    }
}

/* What the log says of a stored user's name: with --irc-names the ident
   answered instead, where it differs; without, why some chat server may
   refuse or cut the name. */
static void LogIdent(int node)
{
    NodeEntry entry;
    if (GetNodeRec(node, &entry) != 0 || !entry.bInUse)
        return;
    char shown[4 * NODE_NAME_SIZE], line[sizeof(shown) + 256];
    EscapeControls(shown, entry.sName, sizeof(shown));
    int faults = IrcNameFaults(entry.sName);
    if (bIrcNames) {
        char first[IRC_IDENT_SIZE];
        IrcIdent(entry.sName, 0, first);
        if (entry.sIdent[0] == '\0')
            snprintf(line, sizeof(line),
                     "- ClientHandler node <%i> name <%s> has no letter or digit: answered as "
                     "nobody\r\n",
                     node, shown);
        else if (entry.iIdentTry > 0)
            snprintf(line, sizeof(line),
                     "- ClientHandler node <%i> name <%s> answered as <%s>: <%s> is another "
                     "user's online\r\n",
                     node, shown, entry.sIdent, first);
        else if (strcmp(entry.sIdent, entry.sName) != 0)
            snprintf(line, sizeof(line), "- ClientHandler node <%i> name <%s> answered as <%s>\r\n",
                     node, shown, entry.sIdent);
        else
            return;
    } else if (faults != 0 && IdentKindForName(entry.sName) != IDENT_HIDDEN_USER) {
        char why[IRC_FAULTS_TEXT_SIZE];
        IrcFaultsText(faults, why);
        snprintf(line, sizeof(line),
                 "- ClientHandler node <%i> name <%s> may be refused or cut by chat servers: it "
                 "has %s (--irc-names sends a name they all keep)\r\n",
                 node, shown, why);
    } else {
        return;
    }
    MsgOut(line);
}

/* The sender of a record, as the system listed it when its connection was
   accepted, or when its record came; not known when answering from the
   table alone. */
struct Sender {
    bool bKnown;
    PConn end;
};

/* Logs why a record was refused, with the name it was for. */
static void LogRefusal(const char *kind, int node, const char *name, BindWhy why, int localPort,
                       int remotePort)
{
    char text[160], shown[4 * NODE_NAME_SIZE], line[sizeof(shown) + 224];
    BindWhyText(why, localPort, remotePort, text, sizeof(text));
    EscapeControls(shown, name, sizeof(shown));
    snprintf(line, sizeof(line), "- ClientHandler %s for node <%i> name <%s> refused: %s\r\n", kind,
             node, shown, text);
    MsgOut(line);
}

/* The kept record of a record taken: the node, its name and its pair (as
   a query writes it), and the chat server's address when it is bound to a
   connection. */
static void LogTaken(const char *kind, int node, const NodeEntry *entry)
{
    char shown[4 * NODE_NAME_SIZE], addr[ADDR_TEXT_SIZE], line[sizeof(shown) + 160];
    EscapeControls(shown, entry->sName, sizeof(shown));
    int len = snprintf(line, sizeof(line),
                       "- ClientHandler %s taken on node <%i>: name <%s> pair <%i,%i>", kind, node,
                       shown, entry->iLocalPort, entry->iRemotePort);
    if (entry->bBound && len > 0 && len < (int)sizeof(line))
        len += snprintf(line + len, sizeof(line) - (size_t)len, " server <%s>",
                        AddrText(addr, entry->conn.remote));
    if (len > 0 && len < (int)sizeof(line) - 2)
        snprintf(line + len, sizeof(line) - (size_t)len, "\r\n");
    MsgOut(line);
}

static void HandleConnect(const ClientRecord *rec, const Sender *sender)
{
    char line[96];
    iRcvdClientConnects++;
    /* fixed text: keep the two blanks before the node */
    snprintf(line, sizeof(line), "- ClientHandler Connect received on node  <%i>\r\n", rec->iNode);
    MsgOut(line);
    PConn conn;
    const PConn *bound = nullptr;
    if (!bIdentTableOnly()) {
        BindWhy why = sender->bKnown
                          ? BindRecord(&sender->end, rec->iLocalPort, rec->iRemotePort, &conn)
                          : BIND_SENDER_UNKNOWN;
        if (why != BIND_TAKEN) {
            LogRefusal("Connect", rec->iNode, rec->sName, why, rec->iLocalPort, rec->iRemotePort);
            return;
        }
        bound = &conn;
    }
    int freed = -1;
    int bStored =
        SetNodeRec(rec->iNode, rec->iRemotePort, rec->iLocalPort, rec->sName, &freed, bound) == 0;
    if (freed != -1) {
        snprintf(line, sizeof(line),
                 "- ClientHandler node <%i> lost its port pair to node <%i>\r\n", freed,
                 rec->iNode);
        MsgOut(line);
    }
    NodeEntry entry;
    if (bStored && GetNodeRec(rec->iNode, &entry) == 0)
        LogTaken("Connect", rec->iNode, &entry);
    if (bStored)
        LogIdent(rec->iNode);
    if (!bStored) {
        snprintf(line, sizeof(line),
                 "- ClientHandler node <%i> is outside the node table, ignored\r\n", rec->iNode);
        MsgOut(line);
    }
}

static void HandleQuit(const ClientRecord *rec, const Sender *sender)
{
    char line[96];
    iRcvdClientQuits++;
    char node[4 * sizeof(rec->sNodeText)];
    EscapeControls(node, rec->sNodeText, sizeof(node));
    snprintf(line, sizeof(line), "- ClientHandler Quit received on node <%s>\r\n", node);
    MsgOut(line);
    NodeEntry entry;
    bool bInUse = GetNodeRec(rec->iNode, &entry) == 0 && entry.bInUse;
    if (bInUse && entry.bBound) {
        BindWhy why = sender->bKnown ? QuitAllowed(&sender->end, &entry.conn) : BIND_SENDER_UNKNOWN;
        if (why != BIND_TAKEN) {
            LogRefusal("Quit", rec->iNode, entry.sName, why, entry.iLocalPort, entry.iRemotePort);
            return;
        }
    }
    if (bInUse)
        LogTaken("Quit", rec->iNode, &entry);
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
    /* Who sent it is read before the record, while the sender still holds
       its end of the connection. */
    Sender sender = {false, {}};
    if (!bIdentTableOnly())
        sender.bKnown = PlatPeerEnd(s, &sender.end) == 0;

    char buf[CLIENT_RECV_MAX + 1];
    int len = ReceiveRecord(s, buf);
    /* Wine names the program that holds a socket only once the program has
       used it: a sender not named at accept is looked for again now that
       its record is in and its end still open. */
    if (len > 0 && !bIdentTableOnly() && !(sender.bKnown && bHolderNamed(&sender.end)))
        sender.bKnown = PlatPeerEnd(s, &sender.end) == 0;
    if (len > 0) {
        buf[len] = '\0';
        ClientRecord rec;
        ReadClientRecord(buf, len, &rec);
        if (rec.kind == CLIENT_CONNECT)
            HandleConnect(&rec, &sender);
        else if (rec.kind == CLIENT_QUIT)
            HandleQuit(&rec, &sender);
        else
            /* fixed text: keep the misspelling */
            MsgOut("- ClientHabdler Unknown client message\r\n");
        DrainRecord(s, buf, len);
    }
    PlatClose(s);
}
