/* common/state.h: the little state that the service threads share besides
   the node table: two counters and the ready flag. */
#ifndef QUILLET_STATE_H
#define QUILLET_STATE_H

#include <atomic>

/* IDENT connections and notification connections handled since start. */
extern std::atomic<int> iRcvdIdentRequests;
extern std::atomic<int> iRcvdPalaverConnects;

/* Connect and Quit records taken since start, for the window's statistics;
   a connection that carried neither counts in neither. */
extern std::atomic<int> iRcvdClientConnects;
extern std::atomic<int> iRcvdClientQuits;

/* The ready flag: 0 until the host server link has started the socket
   library and registered the service, then 1 for good. */
int bWINSStarted(void);
void ClearWINSStarted(void);
void SetWINSStarted(void);

/* Blocks the caller until the ready flag is 1. */
void WaitWINSStarted(void);

#endif
