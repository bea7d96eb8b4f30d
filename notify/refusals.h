/* notify/refusals.h: how refused notification connections reach the log: the
   first from an address with a line of its own, later ones at most once a
   minute per address, as a count (common/throttle.h). */
#ifndef QUILLET_REFUSALS_H
#define QUILLET_REFUSALS_H

#include "../common/platform.h"

/* Notes one refused connection from peer at time nowMs and fills text
   (size bytes) with the lines the log should get now; 1 when there are
   any, 0 when the connection is only counted. */
int RefusalLine(PAddr peer, int64_t nowMs, char *text, int size);

/* The same without a refusal: counts whose minute has passed. Called by
   the accept loop on every connection. */
int RefusalSweep(int64_t nowMs, char *text, int size);

/* Forgets every address (tests). */
void ClearRefusals(void);

#endif
