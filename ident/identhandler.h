/* ident/identhandler.h: the IDENT service's two threads. */
#ifndef QUILLET_IDENTHANDLER_H
#define QUILLET_IDENTHANDLER_H

#define IDENT_PORT 113
#define IDENT_BACKLOG 5

/* Serves one accepted IDENT connection (its socket, see SocketArg): one
   query, its replies, then the close. Runs on a thread of its own. */
void IdentHandler(void *connection);

/* Waits for the ready flag, opens port 113 and hands every connection to
   an IdentHandler thread. Never returns unless the port can't be opened.
   The argument is the main window's handle, unused. */
void IdentListen(void *hwnd);

#endif
