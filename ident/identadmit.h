/* ident/identadmit.h: who gets an IDENT handler. Port 113 is open to the
   world: one address may hold only so many handlers, so that it cannot
   crowd out the others; and at the global cap (common/accept.h) the
   listener makes room for a new connection by closing, unanswered, a
   connection that has not sent its query: the one that has waited longest,
   of the address that holds the most handlers. A connection whose query
   has come is never closed so. */
#ifndef QUILLET_IDENTADMIT_H
#define QUILLET_IDENTADMIT_H

#include "../common/platform.h"

/* IDENT handlers running at once for one peer address. A chat server asks
   about all 256 nodes at once after a netsplit, perhaps several times
   over; 1024 leaves it room four times over. Beyond it a connection is
   accepted and closed unanswered (still counted). */
#define IDENT_HANDLERS_PER_ADDR 1024

/* Takes a place for the IDENT listener's next connection: a free one, or
   one made by closing a silent connection, or else the first to come free.
   While it closes connections so, the log says at most once a minute how
   many and from how many addresses. */
void TakeIdentPlace(void);

/* Closes, unanswered, every connection whose query has not come, as a
   close to make room does: for the end of the process. */
void LetIdentWaitersGo(void);

/* Runs IdentHandler for an accepted connection from peer (in the place
   TakeIdentPlace took), under the per-address cap: over it the connection
   is closed at once and counted as an IDENT request, and the log says so
   at most once a minute per address, with the count closed since its last
   line. */
void AdmitIdent(PSocket connection, PAddr peer);

/* The same with another handler in IdentHandler's place (tests). */
void AdmitIdentTo(void (*handler)(void *), PSocket connection, PAddr peer);

/* Handlers running now for one peer address. */
int IdentHandlersFrom(PAddr peer);

/* The handler's waits, which a close to make room ends at once. On a
   thread that AdmitIdent did not start they are a plain sleep and a plain
   receive.
   IdentPause: waits ms; 0 when the connection was closed meanwhile.
   IdentReceiveQuery: as PlatRecv, but the query is taken (and the
   connection no longer closed to make room) before it is read; -1 when
   the connection was closed meanwhile. */
int IdentPause(int ms);
int IdentReceiveQuery(PSocket s, char *buf, int len, int timeoutMs);

#endif
