/* ident/identloop.h: every IDENT connection on one loop. A connection is a
   small record made at accept (ident/identconn.h), not a thread: its waits
   are deadlines in the loop's timer lists, and only a connection whose
   query has not come when its wait is over is watched for it. Nothing
   that can block runs on the loop: the log only queues its lines, and the
   node table and the connection check are quick. */
#ifndef QUILLET_IDENTLOOP_H
#define QUILLET_IDENTLOOP_H

#include "../common/platform.h"

struct IdentLoop;

/* A loop with room for cap connections (ident/identadmit.h), or null when
   the system gives no way to wait on sockets (the reason is in
   PlatLastError). */
IdentLoop *IdentLoopNew(int cap);

/* Serves the connections of listenSocket, a listening socket, for good:
   the loop never returns. After IdentLoopStop it takes no more and serves
   those that have their answer to their close, then rests. */
void IdentLoopRun(IdentLoop *loop, PSocket listenSocket);

/* Serves one accepted connection to its close on a loop of its own. */
void IdentServeOne(PSocket s);

/* For the end of the process, from any thread: the loop stops accepting
   and closes, unanswered, every connection whose query it has not read. */
void IdentLoopStop(IdentLoop *loop);

/* Connections the loop holds now; any thread may ask. */
int IdentLoopHeld(IdentLoop *loop);

#endif
