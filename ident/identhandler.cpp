/* ident/identhandler.cpp: answering one IDENT query. */
#include "identhandler.h"

#include "identquery.h"
#include "ircname.h"
#include "nodetable.h"
#include "../common/platform.h"
#include "../common/textutil.h"

#include <atomic>
#include <stdio.h>

/* Set once at start, before any handler runs. */
static std::atomic<int> bTableOnly(0);

void InitIdentAnswers(int bTableOnlyWanted, int bIrcNamesWanted)
{
    bIrcNames = bIrcNamesWanted;
    if (bTableOnlyWanted) {
        MsgOut("- Answering IDENT queries from the node table alone (--table-only)\r\n");
    } else if (PlatTcpConnected(0x7F000001u, 1, 0x7F000001u, 1, PlatTickUs()) < 0) {
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
                                                            const IdentAsk *ask)
{
    int first = ask->first, second = ask->second;
    IdentReplyKind kind = IdentKindForName(name);
    if (kind == IDENT_NO_USER || bTableOnly)
        return kind;
    PAddr peer = 0, local = 0;
    int open = PlatSocketAddrs(s, &peer, &local) == 0
                   ? PlatTcpConnected(local, first, peer, second, ask->tSinceUs)
                   : -1;
    if (open == 1)
        return kind;
    char addr[ADDR_TEXT_SIZE], line[112];
    snprintf(line, sizeof(line), "- IdentHandler %s for node <%i> from <%s>\r\n",
             open == 0 ? "no open connection" : "cannot check the connection", node,
             AddrText(addr, peer));
    MsgOut(line);
    return IDENT_NO_USER;
}

/* The reply for node i's entry, with its line. */
static void ReplyForMatch(PSocket s, const IdentAsk *ask, int i, const char *name,
                          const char *ident)
{
    char line[64];
    snprintf(line, sizeof(line), "- IdentHandler match found on node <%i>\r\n", i);
    MsgOut(line);
    IdentReplyKind kind = CheckedKind(s, i, name, ask);
    /* A hidden user stays hidden; a name with no letter or digit has no
       ident and answers as nobody. */
    if (bIrcNames && kind == IDENT_USERID && ident[0] == '\0')
        kind = IDENT_NO_USER;
    SendReply(s, kind, ask->first, ask->second, bIrcNames ? ident : name);
}

void IdentFirstAnswer(PSocket s, const char *query, IdentAsk *ask)
{
    IdentCutQuery(query, &ask->first, &ask->second);
    ask->iNext = 0;
    if (IdentNextAnswer(s, ask) == 0) {
        MsgOut("- IdentHandler no match found\r\n");
        SendReply(s, IDENT_NO_USER, ask->first, ask->second, "");
        /* Nothing follows a NO-USER reply, whatever is registered meanwhile. */
        ask->iNext = NODE_COUNT;
    }
}

int IdentNextAnswer(PSocket s, IdentAsk *ask)
{
    char name[NODE_NAME_SIZE], ident[IRC_IDENT_SIZE];
    int i = FindNodeRec(ask->first, ask->second, ask->iNext, name, ident);
    if (i == -1)
        return 0;
    ReplyForMatch(s, ask, i, name, ident);
    ask->iNext = i + 1;
    return 1;
}

int bIdentLastAnswer(const IdentAsk *ask)
{
    char name[NODE_NAME_SIZE];
    return FindNodeRec(ask->first, ask->second, ask->iNext, name) == -1 ? 1 : 0;
}
