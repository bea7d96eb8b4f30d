/* common/accept.h: the parts of an accept loop that both services share,
   the notification port's handler threads and their cap, and the cap on
   IDENT connections. */
#ifndef QUILLET_ACCEPT_H
#define QUILLET_ACCEPT_H

#include "platform.h"

/* Port 113 is open to the world, and every IDENT connection held costs a
   descriptor for up to 62 s: without a bound the connections of a few hosts
   would take every descriptor the process has, and with them the service
   for everybody. The IDENT loop holds at most the process's descriptor
   limit less DESCRIPTORS_KEPT, which keeps room for the program's own
   sockets and files (ident/identadmit.h says who gets a place). Counted:
   the three standard streams, the two listeners, the loop's poll set, its
   wake-up and spare, the host link, NOTIFY_HANDLERS_MAX handlers, the two
   tables the connection check reads, and a few to spare; should they run
   out all the same, accept fails and the spare sheds the newcomer. */
#define DESCRIPTORS_KEPT 32

/* The fewest IDENT connections the cap allows, however tight the limit. */
#define HANDLERS_MIN 16

/* Notification handlers running at once, each on a thread of its own. The
   board's records are local and each is handled in milliseconds, so a few
   threads serve every node; at the cap the notification listener waits,
   its connections queued by the system. */
#define NOTIFY_HANDLERS_MAX 16

/* Which listener a line speaks of. */
enum HandlerPort { PORT_IDENT, PORT_NOTIFY };

/* Reads the system's limits and sets the cap on IDENT connections; a
   cap asked for at start (--max-ident, 0 for none) lowers it. Called at
   start after the front end has raised its limits; until then the cap is
   computed on first use. */
void InitHandlerCaps(int iAskedCap = 0);

/* Sets the cap from limits given as PlatHandlerLimits gives them (-1: no
   limit) and a cap asked for (0: none). */
void InitHandlerCapsFrom(const PlatLimits *limits, int iAskedCap = 0);

/* The most IDENT connections held at once. */
int IdentCap(void);

/* Notification handlers running now (or places taken for them). */
int HandlersRunning(void);

/* Takes a place for the next notification handler if one is free now: 1,
   or 0. */
int TryTakeHandlerPlace(void);

/* Waits at most ms (< 0: without limit) for a place and takes it: 1, or 0
   when none came. Once the handlers are stopped no place comes. */
int WaitHandlerPlace(int ms);

/* Accepts the next connection for the place the caller has taken. Errors
   that belong to one connection (reset before it was accepted) go straight
   back to accepting; errors that say resources ran out pause briefly;
   lasting errors (the socket is no longer valid) pause longer, so the loop
   neither spins nor ends, and the log names a lasting error at most once a
   minute with how often it came (NoteAcceptFailure). The place is for the
   connection returned: StartHandler or StartHandlerThread uses it, or
   GiveBackHandlerPlace returns it when the connection is not served. */
PSocket AcceptInPlace(PSocket listenSocket, PAddr *peer, PAddr *local);
void GiveBackHandlerPlace(void);

/* Waits for a place, then accepts: the notification port's loop. */
PSocket AcceptNext(PSocket listenSocket, PAddr *peer, PAddr *local);

/* Logs an accept of port's listener that failed with err, at most once a
   minute per listener and error with how often it came; and, at each
   accept, the counts owed for failures that have stopped. */
void NoteAcceptFailure(HandlerPort port, int err);
void SweepAcceptLines(void);

/* How long a listener rests after an accept that failed for want of
   resources, and after one that will not pass soon: short enough that
   service resumes quickly, long enough not to spin. */
#define ACCEPT_RETRY_MS 100
#define ACCEPT_LASTING_MS 1000

/* Runs handler(arg) on a thread of its own, in the place AcceptNext took,
   and gives the place back when handler returns. 0 when the thread
   started; otherwise the place is given back, the caller paused (the
   system is short of threads), the log says so at most once a minute with
   how many, and -1: the caller closes its connection. */
int StartHandlerThread(void (*handler)(void *), void *arg);

/* For the end of the process: no handler thread starts from now on (a
   connection accepted meanwhile is closed unserved), no place is had any
   more, and the threads that end wait for the process's end (the
   platform's PlatParkEndingThreads). */
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
