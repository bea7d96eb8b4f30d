/* common/accept.h: the parts of an accept loop that both services share,
   and the caps on how many handlers run at once. */
#ifndef QUILLET_ACCEPT_H
#define QUILLET_ACCEPT_H

#include "platform.h"

/* The global cap: handlers of both ports together. Port 113 is open to the
   world and every connection costs a thread (and a descriptor) for up to
   62 s, so without a bound the connections of a few hosts would take every
   thread the system has, and with them the service for everybody. The cap
   is the most the system lets the process carry with room to spare, from
   the limits PlatHandlerLimits names, read at start:
   - each handler holds a descriptor: the process's descriptor limit less
     DESCRIPTORS_KEPT for the program's own sockets and files;
   - and a thread. Limits that the whole host shares (Linux's per-user
     process limit, threads-max and pid_max) give at most THREAD_SHARE_PCT
     percent of the tightest of them; a limit of the process's own (the
     address space that Windows handler stacks come from) gives all of it,
     the platform having kept its own room.
   At the cap the notification port's listener stops accepting until a
   handler ends, so connections wait in the accept queue instead of being
   dropped; the IDENT listener makes room by closing a silent connection
   (ident/identadmit.h, which also has the cap per address). The last
   places are the notification port's alone, so that a flood on port 113
   never holds up the board's records. */
#define DESCRIPTORS_KEPT 64
#define THREAD_SHARE_PCT 75
#define NOTIFY_RESERVE 16 /* at most a quarter of the cap */

/* Whose place a handler takes. */
enum HandlerPort { PORT_IDENT, PORT_NOTIFY };

/* The fewest handlers the global cap allows, however tight the limits. */
#define HANDLERS_MIN 16

/* Reads the system's limits and sets the global cap. Called at start after
   the front end has raised its limits, before the listeners run; until
   then the cap is computed on first use. */
void InitHandlerCaps(void);

/* Sets the global cap from limits given as PlatHandlerLimits gives them
   (-1: no limit). */
void InitHandlerCapsFrom(const PlatLimits *limits);
int HandlerCap(void);

/* Handlers running now (or places taken for them by AcceptNext). */
int HandlersRunning(void);

/* Takes a place for port's next handler if one is free now: 1, or 0. */
int TryTakeHandlerPlace(HandlerPort port);

/* Waits at most ms (< 0: without limit) for a place and takes it: 1, or 0
   when none came. */
int WaitHandlerPlace(HandlerPort port, int ms);

/* Accepts the next connection for the place the caller has taken. Errors
   that belong to one connection (reset before it was accepted) go straight
   back to accepting; errors that say resources ran out pause briefly;
   lasting errors (the socket is no longer valid) pause longer, so the loop
   neither spins nor ends, and the log names a lasting error at most once a
   minute with how often it came. The place is for the connection
   returned: StartHandler or StartHandlerThread uses it, or
   GiveBackHandlerPlace returns it when the connection is not served. */
PSocket AcceptInPlace(PSocket listenSocket, PAddr *peer, PAddr *local, HandlerPort port);
void GiveBackHandlerPlace(void);

/* Waits for a place, then accepts: the notification port's loop. */
PSocket AcceptNext(PSocket listenSocket, PAddr *peer, PAddr *local, HandlerPort port = PORT_NOTIFY);

/* Runs handler(arg) on a thread of its own, in the place AcceptNext took,
   and gives the place back when handler returns. 0 when the thread
   started; otherwise the place is given back, the caller paused (the
   system is short of threads), the log says so at most once a minute with
   how many, and -1: the caller closes its connection. */
int StartHandlerThread(void (*handler)(void *), void *arg);

/* For the end of the process: no handler thread starts from now on (a
   connection accepted meanwhile is closed unserved), listeners that come
   for a place wait for good, and handler threads that are done wait
   instead of returning. */
void StopHandlers(void);

/* Waits at most ms for the handlers at work to be done; how many are still
   at work. */
int WaitHandlersDone(int ms);

/* StartHandlerThread for a handler given its connection (SocketArg); the
   connection is closed when no thread can be started. */
void StartHandler(void (*handler)(void *), PSocket connection);

/* Handler threads receive their connection as their argument. */
void *SocketArg(PSocket s);
PSocket ArgSocket(void *arg);

#endif
