/* ident/identadmit.h: who gets a place among the IDENT connections. Port
   113 is open to the world: one address may hold only so many connections,
   so that it cannot crowd out the others, and the last places are kept for
   addresses that hold few, so that a flood from a handful of hosts leaves
   room for every other chat server. At the cap (common/accept.h) room is
   made by closing, unanswered, a connection of the address holding the
   most: its oldest that has sent no query, or else one that has had its
   answer and waits only for its close. A connection whose query has come
   is never closed so. When nothing can be closed, a newcomer that the
   reserve is not for is closed at once. The policy works on the records
   alone; the loop (ident/identloop.h) does what it decides. */
#ifndef QUILLET_IDENTADMIT_H
#define QUILLET_IDENTADMIT_H

#include "identconn.h"

#include <unordered_map>
#include <vector>

/* IDENT connections held at once for one peer address. A chat server asks
   about all 256 nodes at once after a netsplit, perhaps several times
   over; 1024 leaves it room four times over. Beyond it a connection is
   accepted and closed unanswered (still counted). */
#define IDENT_HANDLERS_PER_ADDR 1024

/* An address holding fewer than this may take the reserved places. */
#define IDENT_FEW_PER_ADDR 4

/* The reserved places: an eighth of the cap, at most this many. */
#define IDENT_RESERVE_MAX 64

/* One peer address and its connections. */
struct IdentPeer {
    PAddr addr;
    int iHeld;
    ConnList quiet;    /* waiting or silent, oldest first */
    ConnList lastWait; /* answered, waiting for the close, oldest first */
    IdentPeer *bucketPrev, *bucketNext;
};

struct IdentAdmit {
    int iCap;
    int iReserve;
    int iHeld;
    std::unordered_map<PAddr, IdentPeer *> peers;
    /* Addresses by how many they hold, to find the busiest at once. */
    std::vector<IdentPeer *> buckets;
    int iMaxHeld;
};

/* Sets up an empty policy with room for cap connections. */
void IdentAdmitInit(IdentAdmit *a, int cap);

/* The address's record, made when it holds nothing yet. A record that
   ends up holding nothing is dropped by IdentAdmitForget. */
IdentPeer *IdentPeerOf(IdentAdmit *a, PAddr addr);
void IdentAdmitForget(IdentAdmit *a, IdentPeer *p);

/* 1 when peer is at its own cap: its newcomer is closed at once. */
int bIdentOverAddrCap(const IdentPeer *p);

/* 1 when a newcomer from p finds no place free for it. */
int bIdentAdmitFull(const IdentAdmit *a, const IdentPeer *p);

/* The connection to close to make room, or null when none may be:
   of the busiest addresses first, the oldest waiting or silent, else the
   oldest in its last wait. The caller checks that a waiting one has no
   query waiting yet (IdentMarkQueried if it has, then asks again). */
IdentConn *IdentPickVictim(IdentAdmit *a);

/* Counts c as held by p, in state CONN_WAITING. */
void IdentAdmitTake(IdentAdmit *a, IdentPeer *p, IdentConn *c);

/* Moves c to state, in its address's lists as the state says. */
void IdentAdmitSetState(IdentConn *c, IdentConnState state);

/* c's place is given back: it leaves its address's lists and counts. Its
   address's record stays, for IdentAdmitForget. */
void IdentAdmitRelease(IdentAdmit *a, IdentConn *c);

/* Connections held from one address now. */
int IdentHeldFrom(const IdentAdmit *a, PAddr addr);

/* The log's lines, each at most once a minute: a newcomer closed over its
   address's cap, and connections closed to make room. Lines owed for
   counts whose minute has passed go out at IdentAdmitSweep. */
void IdentNoteOverAddrCap(PAddr addr);
void IdentNoteShed(const IdentAdmit *a, PAddr addr);
void IdentAdmitSweep(void);

#endif
