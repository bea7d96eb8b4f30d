/* notify/refusals.h: how refused notification connections reach the log: the
   first from an address with a line of its own, later ones at most once a
   minute per address, as a count. */
#ifndef QUILLET_REFUSALS_H
#define QUILLET_REFUSALS_H

#include "../common/platform.h"

/* At most one line per address in this time. */
#define REFUSAL_LOG_INTERVAL_MS 60000

/* Addresses remembered at once; the one logged longest ago makes room. */
#define REFUSAL_ADDRESSES 64

/* Notes one refused connection from peer at time nowMs and fills line
   (size bytes) with what the log should say; 1 when a line is due, 0 when
   the connection is only counted. Called by the accept loop alone. */
int RefusalLine(PAddr peer, int64_t nowMs, char *line, int size);

/* Forgets every address (tests). */
void ClearRefusals(void);

#endif
