/* ident/identhandler.h: the IDENT service's two threads. */
#ifndef QUILLET_IDENTHANDLER_H
#define QUILLET_IDENTHANDLER_H

#include "../common/platform.h"

#define IDENT_PORT 113
/* Chat servers ask about many users at once (after a netsplit, say). A
   connection that finds the accept queue full is dropped by the system and
   retried only a second or more later, then ever more slowly, so the queue is
   as long as the system allows. */
#define IDENT_BACKLOG PLAT_BACKLOG_MAX

/* Serves one accepted IDENT connection (its socket, see SocketArg): one
   query, its replies, then the close. Runs on a thread of its own. */
void IdentHandler(void *connection);

/* Waits for the ready flag, opens port 113 and hands every connection to
   an IdentHandler thread. Never returns unless the port can't be opened.
   The argument is the main window's handle, unused. */
void IdentListen(void *hwnd);

#endif
