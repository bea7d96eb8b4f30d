/* ident/identhandler.cpp: answering one IDENT query. */
#include "identhandler.h"

#include "identquery.h"
#include "ircname.h"
#include "nodetable.h"
#include "../common/platform.h"
#include "../common/textutil.h"
#include "../common/throttle.h"

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

int bIdentTableOnly(void)
{
    return bTableOnly;
}

static void SendReply(PSocket s, IdentReplyKind kind, int first, int second, const char *name)
{
    char reply[IDENT_REPLY_SIZE];
    int len = IdentFormatReply(reply, kind, first, second, name);
    PlatSend(s, reply, len);
}

/* The reply kind for node's entry: its own, when its connection is open,
   else NO-USER with a line saying why. The entry was found from the query's
   addresses: when it is bound to a connection, that is the one between
   them. Kept out of line, so that its locals do not deepen the loop's
   stack. */
__attribute__((noinline)) static IdentReplyKind
CheckedKind(int node, const char *name, const PConn *conn, const IdentAsk *ask, const char **why)
{
    IdentReplyKind kind = IdentKindForName(name);
    if (kind == IDENT_NO_USER)
        *why = "no name that can be sent";
    if (kind == IDENT_NO_USER || bTableOnly)
        return kind;
    PAddr peer = ask->from.asker;
    uint64_t id = 0;
    int open = peer != 0 ? PlatTcpConnected(ask->from.arrivedOn, ask->first, peer, ask->second,
                                            ask->tSinceUs, &id)
                         : -1;
    /* A connection made since with the same four fields is not the one
       the record named. */
    if (open == 1 && conn->id != 0 && id != conn->id)
        open = 0;
    if (open == 1)
        return kind;
    char addr[ADDR_TEXT_SIZE], line[112];
    *why = open == 0 ? "no open connection" : "cannot check the connection";
    snprintf(line, sizeof(line), "- IdentHandler %s for node <%i> from <%s>\r\n", *why, node,
             AddrText(addr, peer));
    MsgOut(line);
    return IDENT_NO_USER;
}

/* The record a sysop answers an abuse report from: one line per answer
   that names a node, with the asker, the pair as the reply gives it, the
   node and its name, and what was sent, or why nothing was. */
static void LogAnswer(const IdentAsk *ask, int node, const char *name, IdentReplyKind kind,
                      const char *sent, const char *why)
{
    char asker[ADDR_TEXT_SIZE], shown[4 * NODE_NAME_SIZE], ident[4 * NODE_NAME_SIZE];
    char line[sizeof(shown) + sizeof(ident) + 160];
    EscapeControls(shown, name, sizeof(shown));
    EscapeControls(ident, sent, sizeof(ident));
    char what[sizeof(ident) + 16];
    if (kind == IDENT_USERID)
        snprintf(what, sizeof(what), "USERID <%s>", ident);
    else if (kind == IDENT_HIDDEN_USER)
        snprintf(what, sizeof(what), "HIDDEN-USER");
    else
        snprintf(what, sizeof(what), "NO-USER (%s)", why != nullptr ? why : "nobody");
    snprintf(line, sizeof(line),
             "- IdentHandler answered <%s> about <%i,%i>: node <%i> name <%s> %s\r\n",
             AddrText(asker, ask->from.asker), ask->first, ask->second, node, shown, what);
    MsgOut(line);
}

/* The reply for node i's entry, with its line. */
static void ReplyForMatch(PSocket s, const IdentAsk *ask, int i, const char *name,
                          const char *ident, const PConn *conn)
{
    char line[64];
    snprintf(line, sizeof(line), "- IdentHandler match found on node <%i>\r\n", i);
    MsgOut(line);
    const char *why = nullptr;
    IdentReplyKind kind = CheckedKind(i, name, conn, ask, &why);
    /* A hidden user stays hidden; a name with no letter or digit has no
       ident and answers as nobody. */
    if (bIrcNames && kind == IDENT_USERID && ident[0] == '\0') {
        kind = IDENT_NO_USER;
        why = "no letter or digit in the name";
    }
    SendReply(s, kind, ask->first, ask->second, bIrcNames ? ident : name);
    LogAnswer(ask, i, name, kind, bIrcNames ? ident : name, why);
}

/* A pair registered for a connection with another address than the
   asker's, or arriving on another of this host's: both sides said, so that
   an operator sees a server that asks from the wrong address. */
static bool bLoggedElsewhere(const IdentAsk *ask)
{
    PConn conn;
    int node = FindNodeRecElsewhere(ask->first, ask->second, &ask->from, &conn);
    if (node == -1)
        return false;
    char asker[ADDR_TEXT_SIZE], on[ADDR_TEXT_SIZE], remote[ADDR_TEXT_SIZE], local[ADDR_TEXT_SIZE];
    char line[224];
    snprintf(line, sizeof(line),
             "- IdentHandler match found on node <%i>\r\n"
             "- IdentHandler no open connection for node <%i> from <%s> on <%s>: its connection "
             "is with <%s> on <%s>\r\n",
             node, node, AddrText(asker, ask->from.asker), AddrText(on, ask->from.arrivedOn),
             AddrText(remote, conn.remote), AddrText(local, conn.local));
    MsgOut(line);
    char name[NODE_NAME_SIZE];
    if (FindNodeRec(ask->first, ask->second, node, name) == node)
        LogAnswer(ask, node, name, IDENT_NO_USER, "", "asked from another address");
    return true;
}

/* Queries that matched no node, per asker: counted, not lined, so that a
   flood of them cannot fill the kept log. */
static Throttle Unmatched;

static void LogUnmatched(const ThrottleLine *due, int n)
{
    for (int i = 0; i < n; i++) {
        char addr[ADDR_TEXT_SIZE], line[128];
        if (due[i].kind == THROTTLE_FIRST)
            snprintf(line, sizeof(line),
                     "- IdentHandler queries from <%s> match no node: counted a minute at a "
                     "time\r\n",
                     AddrText(addr, (PAddr)due[i].key));
        else if (due[i].kind == THROTTLE_COUNT)
            snprintf(line, sizeof(line),
                     "- IdentHandler <%u> more queries from <%s> matched no node in %i s\r\n",
                     due[i].iCount, AddrText(addr, (PAddr)due[i].key), due[i].iSeconds);
        else
            snprintf(line, sizeof(line),
                     "- IdentHandler <%u> queries from other addresses matched no node\r\n",
                     due[i].iCount);
        MsgOut(line);
    }
}

void IdentAnswersSweep(void)
{
    ThrottleLine due[THROTTLE_DUE_MAX];
    LogUnmatched(due, ThrottleSweep(&Unmatched, PlatTickMs(), due));
}

void IdentFirstAnswer(PSocket s, const char *query, IdentAsk *ask)
{
    IdentCutQuery(query, &ask->first, &ask->second);
    ask->iNext = 0;
    if (PlatSocketAddrs(s, &ask->from.asker, &ask->from.arrivedOn) != 0)
        ask->from.asker = ask->from.arrivedOn = 0;
    if (IdentNextAnswer(s, ask) == 0) {
        if (!bLoggedElsewhere(ask)) {
            MsgOut("- IdentHandler no match found\r\n");
            ThrottleLine due[THROTTLE_DUE_MAX];
            LogUnmatched(due, ThrottleNote(&Unmatched, ask->from.asker, PlatTickMs(), due));
        }
        SendReply(s, IDENT_NO_USER, ask->first, ask->second, "");
        /* Nothing follows a NO-USER reply, whatever is registered meanwhile. */
        ask->iNext = NODE_COUNT;
    }
}

int IdentNextAnswer(PSocket s, IdentAsk *ask)
{
    char name[NODE_NAME_SIZE], ident[IRC_IDENT_SIZE];
    PConn conn;
    int i = FindNodeRec(ask->first, ask->second, ask->iNext, name, ident, &ask->from, &conn);
    if (i == -1)
        return 0;
    ReplyForMatch(s, ask, i, name, ident, &conn);
    ask->iNext = i + 1;
    return 1;
}

int bIdentLastAnswer(const IdentAsk *ask)
{
    char name[NODE_NAME_SIZE];
    return FindNodeRec(ask->first, ask->second, ask->iNext, name, nullptr, &ask->from) == -1 ? 1
                                                                                             : 0;
}
