/* common/accept.h: the parts of an accept loop that both services share. */
#ifndef QUILLET_ACCEPT_H
#define QUILLET_ACCEPT_H

#include "platform.h"

/* Accepts the next connection. A failed accept (out of descriptors, say)
   pauses briefly and tries again, so the loop neither spins nor ends. */
PSocket AcceptNext(PSocket listenSocket, PAddr *peer, PAddr *local);

/* Runs handler on a thread of its own for the accepted connection. When no
   thread can be started the connection is closed and the caller paused. */
void StartHandler(void (*handler)(void *), PSocket connection);

/* Handler threads receive their connection as their argument. */
void *SocketArg(PSocket s);
PSocket ArgSocket(void *arg);

#endif
