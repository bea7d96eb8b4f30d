/* ident/identhandler.cpp: answering one IDENT query. */
#include "identhandler.h"

#include "identadmit.h"
#include "identquery.h"
#include "ircname.h"
#include "nodetable.h"
#include "../common/accept.h"
#include "../common/platform.h"
#include "../common/state.h"
#include "../common/textutil.h"
#include "../common/waits.h"

#include <atomic>
#include <stdio.h>

/* Set once at start, before any handler runs. */
static std::atomic<int> bTableOnly(0);

void InitIdentAnswers(int bTableOnlyWanted, int bIrcNamesWanted)
{
    bIrcNames = bIrcNamesWanted;
    if (bTableOnlyWanted) {
        MsgOut("- Answering IDENT queries from the node table alone (--table-only)\r\n");
    } else if (PlatTcpConnected(0x7F000001u, 1, 0x7F000001u, 1) < 0) {
        MsgOut("- This system cannot say which connections are open: answering IDENT queries "
               "from the node table alone, as with --table-only\r\n");
        bTableOnlyWanted = 1;
    }
    bTableOnly = bTableOnlyWanted;
}

static void SendReply(PSocket s, IdentReplyKind kind, int first, int second, const char *name)
{
    char reply[IDENT_REPLY_SIZE];
    int len = IdentFormatReply(reply, kind, first, second, name);
    PlatSend(s, reply, len);
}

/* The reply kind for node's entry: its own, when the pair is a connection
   of this host's with the asker, else NO-USER with a line saying why. Kept
   out of line, so that its locals do not deepen the stack of every handler
   that waits for its query. */
__attribute__((noinline)) static IdentReplyKind CheckedKind(PSocket s, int node, const char *name,
                                                            int first, int second)
{
    IdentReplyKind kind = IdentKindForName(name);
    if (kind == IDENT_NO_USER || bTableOnly)
        return kind;
    PAddr peer = 0, local = 0;
    int open =
        PlatSocketAddrs(s, &peer, &local) == 0 ? PlatTcpConnected(local, first, peer, second) : -1;
    if (open == 1)
        return kind;
    char addr[ADDR_TEXT_SIZE], line[112];
    snprintf(line, sizeof(line), "- IdentHandler %s for node <%i> from <%s>\r\n",
             open == 0 ? "no open connection" : "cannot check the connection", node,
             AddrText(addr, peer));
    MsgOut(line);
    return IDENT_NO_USER;
}

void IdentHandler(void *connection)
{
    PSocket s = ArgSocket(connection);
    iRcvdIdentRequests++;

    /* Peers are made to wait before their query is read. A connection
       closed meanwhile to make room is let go at once. */
    char query[IDENT_QUERY_MAX + 1];
    int n = IdentPause(iIdentWaitMs) ? IdentReceiveQuery(s, query, IDENT_QUERY_MAX, iIdleTimeoutMs)
                                     : -1;
    if (n > 0) {
        query[n] = '\0';
        int first, second;
        IdentCutQuery(query, &first, &second);

        char name[NODE_NAME_SIZE], ident[IRC_IDENT_SIZE];
        char line[64];
        int matches = 0;
        for (int i = FindNodeRec(first, second, 0, name, ident); i != -1;
             i = FindNodeRec(first, second, i + 1, name, ident)) {
            matches++;
            snprintf(line, sizeof(line), "- IdentHandler match found on node <%i>\r\n", i);
            MsgOut(line);
            IdentReplyKind kind = CheckedKind(s, i, name, first, second);
            /* A hidden user stays hidden; a name with no letter or digit
               has no ident and answers as nobody. */
            if (bIrcNames && kind == IDENT_USERID && ident[0] == '\0')
                kind = IDENT_NO_USER;
            SendReply(s, kind, first, second, bIrcNames ? ident : name);
            PlatSleep(iIdentWaitMs);
        }
        if (matches == 0) {
            MsgOut("- IdentHandler no match found\r\n");
            SendReply(s, IDENT_NO_USER, first, second, "");
            PlatSleep(iIdentWaitMs);
        }
    }
    PlatClose(s);
}
