/* ident/nodetable.h: the node table, which says who is connected on which
   node over which port pair. Writers are the notification handlers, readers
   the IDENT handlers; every call holds the table's one lock throughout. */
#ifndef QUILLET_NODETABLE_H
#define QUILLET_NODETABLE_H

#include "ircname.h"
#include "../common/platform.h"

#include <stdint.h>

#define NODE_COUNT 256
#define NODE_NAME_SIZE 128 /* a name holds at most 127 characters */

struct NodeEntry {
    char sName[NODE_NAME_SIZE];
    int32_t iRemotePort;
    int32_t iLocalPort;
    int32_t bInUse;
    /* The IRC-safe ident answered with --irc-names (ident/ircname.h), and
       the counter that made it differ from another user's, 0 for none. */
    char sIdent[IRC_IDENT_SIZE];
    int32_t iIdentTry;
    /* The connection the entry names, found in the system's table when the
       record came; not bound when answering from the table alone. */
    int32_t bBound;
    PConn conn;
};

/* Where a query came from: the asker's address, and this host's that it
   arrived on. */
struct NodeAsk {
    PAddr asker;
    PAddr arrivedOn;
};

/* Makes every entry free. Called once before any worker thread starts. */
void InitNodeRec(void);

/* Stores a connection on node: both ports, in use, the name (cut to 127
   characters) and its IRC-safe ident among the users online (IrcIdentAmong,
   the node itself and the one it frees not counted). Another node holding
   the same connection (a session that ended without its Quit) is freed,
   and its number goes to *freed (-1 when none; freed may be null). With
   conn the entry is bound to that connection, and the same connection is
   its four fields (and id); without, it is the port pair. Returns 0, or -1
   for a node outside 0..255, which changes nothing. */
int SetNodeRec(int node, int remotePort, int localPort, const char *name, int *freed = nullptr,
               const PConn *conn = nullptr);

/* Makes node's entry free again. Returns 0, or -1 for a node outside
   0..255. */
int ClearNodeRec(int node);

/* The lowest entry from first on that is in use with both ports equal, with
   a copy of its name in name (NODE_NAME_SIZE bytes) and, when ident is not
   null, of its ident (IRC_IDENT_SIZE bytes), and when conn is not null of
   its connection; -1 when there is none. An entry bound to a connection is
   found only by a query from its remote address that arrived on its local
   one, when from says where the query came from. */
int FindNodeRec(int localPort, int remotePort, int first, char *name, char *ident = nullptr,
                const NodeAsk *from = nullptr, PConn *conn = nullptr);

/* The lowest entry bound to a connection with both ports equal that a
   query from from does not find, with its connection in conn; -1 when there
   is none. Says why such a query found nothing. */
int FindNodeRecElsewhere(int localPort, int remotePort, const NodeAsk *from, PConn *conn);

/* The node whose entry is bound to conn (its four fields and id), or -1. */
int NodeHoldingConn(const PConn *conn);

/* A copy of node's entry; 0, or -1 for a node outside 0..255. */
int GetNodeRec(int node, NodeEntry *entry);

#endif
