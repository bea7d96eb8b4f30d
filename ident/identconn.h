/* ident/identconn.h: one IDENT connection as the loop holds it, and the
   lists it stands in. Every wait of one kind has one length, so a list of
   the connections in that wait, in the order they entered it, is ordered
   by deadline too: its head is always the next due. */
#ifndef QUILLET_IDENTCONN_H
#define QUILLET_IDENTCONN_H

#include "../common/platform.h"

#include <stdint.h>
#include "nodetable.h"

enum IdentConnState {
    CONN_WAITING,   /* accepted; its wait before the query is read runs */
    CONN_QUERIED,   /* the same, with its query seen waiting: never shed */
    CONN_SILENT,    /* its wait is over and no query came: watched */
    CONN_REPLYING,  /* answered; more matches may follow after the wait */
    CONN_LAST_WAIT, /* answered; no more matches as things stood */
    CONN_CLOSED,    /* closed; the record goes at the end of the round */
};

/* A connection stands in up to two lists at once: one of the loop's
   timers, and one of its address's lists of connections that may be closed
   to make room. */
enum ConnLink { LINK_TIMER, LINK_PEER, LINK_COUNT };

struct IdentConn;
struct IdentPeer;

struct ConnList {
    IdentConn *head;
    IdentConn *tail;
    int iCount;
};

/* The answers of one query: the two ports and the node to look from. */
struct IdentAsk {
    int first;
    int second;
    int iNext;
    int64_t tSinceUs; /* the connection's accept, for the connection check */
    NodeAsk from;
};

struct IdentConn {
    PSocket s;
    IdentConnState state;
    int64_t tAcceptUs;
    int64_t tDueUs; /* when the wait of its timer list ends */
    IdentAsk ask;
    IdentPeer *peer;
    IdentConn *prev[LINK_COUNT];
    IdentConn *next[LINK_COUNT];
    ConnList *in[LINK_COUNT];
};

/* Appends c to the end of list through link; c must stand in no list
   through it. */
void ConnListPush(ConnList *list, IdentConn *c, ConnLink link);

/* Takes c out of whichever list it stands in through link, if any. */
void ConnListUnlink(IdentConn *c, ConnLink link);

#endif
