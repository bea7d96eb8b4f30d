/* common/accept.h: the parts of an accept loop that both services share,
   and the caps on how many handlers run at once. */
#ifndef QUILLET_ACCEPT_H
#define QUILLET_ACCEPT_H

#include "platform.h"

/* The caps. Port 113 is open to the world and every connection costs a
   thread (and a descriptor) for up to 62 s, so without a bound one host
   that opens connections and sends nothing would take every thread the
   system has, and with them the service for everybody.

   IDENT_HANDLERS_PER_ADDR: IDENT handlers running at once for one peer
   address. A chat server asks about all 256 nodes at once after a netsplit,
   perhaps several times over; 1024 leaves it room four times over. Beyond
   it a connection is accepted and closed unanswered (still counted), so one
   address cannot crowd out the others.

   The global cap, handlers of both ports together, is HandlerCap(): the
   most that the system lets the process carry with room to spare. At the
   cap the listeners stop accepting until a handler ends, so connections
   wait in the accept queue instead of being dropped.
   - Where the system names limits (Linux), from them at start: each
     handler holds a descriptor, so the descriptor limit (the process's own)
     less DESCRIPTORS_KEPT for the program's own sockets and files; and a
     thread, which counts against the per-user process limit, threads-max
     and pid_max, limits the whole host shares, so at most
     THREAD_SHARE_PCT percent of the tightest of them.
   - Where it does not (Windows), HANDLERS_MAX_FIXED. What runs out there is
     the 32-bit build's address space: each handler reserves a 64 KiB stack
     (win32/platform.cpp), so 4096 handlers take 256 MiB of the 2 GiB (4 GiB
     when large-address-aware on 64-bit Windows), leaving the rest to the
     heap, the log and the system's own DLLs. */
#define IDENT_HANDLERS_PER_ADDR 1024
#define HANDLERS_MAX_FIXED 4096
#define DESCRIPTORS_KEPT 64
#define THREAD_SHARE_PCT 75

/* The fewest handlers the global cap allows, however tight the limits. */
#define HANDLERS_MIN 16

/* Reads the system's limits and sets the global cap. Called at start after
   the front end has raised its limits, before the listeners run; until
   then the cap is computed on first use. */
void InitHandlerCaps(void);

/* Sets the global cap from limits given as PlatHandlerLimits gives them
   (-1: no limit). */
void InitHandlerCapsFrom(int descriptors, int threads);
int HandlerCap(void);

/* Handlers running now (or places taken for them by AcceptNext). */
int HandlersRunning(void);

/* Waits for room under the global cap and takes a place, then accepts the
   next connection. Errors that belong to one connection (reset before it
   was accepted) go straight back to accepting; errors that say resources
   ran out pause briefly; lasting errors (the socket is no longer valid)
   pause longer, so the loop neither spins nor ends. The place taken is for
   the connection returned: StartHandler or StartIdentHandler uses it, or
   GiveBackHandlerPlace returns it when the connection is not served. */
PSocket AcceptNext(PSocket listenSocket, PAddr *peer, PAddr *local);
void GiveBackHandlerPlace(void);

/* Runs handler on a thread of its own for the accepted connection, in the
   place AcceptNext took. When no thread can be started the connection is
   closed and the caller paused. */
void StartHandler(void (*handler)(void *), PSocket connection);

/* The same for an IDENT connection from peer, under the per-address cap:
   over it the connection is closed at once and counted as an IDENT
   request, and the log says so at most once a minute per address, with the
   count closed since its last line. */
void StartIdentHandler(void (*handler)(void *), PSocket connection, PAddr peer);

/* Handlers running now for one peer address, on the IDENT port. */
int IdentHandlersFrom(PAddr peer);

/* Handler threads receive their connection as their argument. */
void *SocketArg(PSocket s);
PSocket ArgSocket(void *arg);

#endif
