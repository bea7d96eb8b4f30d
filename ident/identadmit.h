/* ident/identadmit.h: who gets an IDENT handler. Port 113 is open to the
   world; one address may hold only so many handlers, so that it cannot
   crowd out the others (the global cap over both ports is in
   common/accept.h). */
#ifndef QUILLET_IDENTADMIT_H
#define QUILLET_IDENTADMIT_H

#include "../common/platform.h"

/* IDENT handlers running at once for one peer address. A chat server asks
   about all 256 nodes at once after a netsplit, perhaps several times
   over; 1024 leaves it room four times over. Beyond it a connection is
   accepted and closed unanswered (still counted). */
#define IDENT_HANDLERS_PER_ADDR 1024

/* Runs IdentHandler for an accepted connection from peer (from AcceptNext,
   in the place it took), under the per-address cap: over it the
   connection is closed at once and counted as an IDENT request, and the
   log says so at most once a minute per address, with the count closed
   since its last line. */
void AdmitIdent(PSocket connection, PAddr peer);

/* The same with another handler in IdentHandler's place (tests). */
void AdmitIdentTo(void (*handler)(void *), PSocket connection, PAddr peer);

/* Handlers running now for one peer address. */
int IdentHandlersFrom(PAddr peer);

#endif
