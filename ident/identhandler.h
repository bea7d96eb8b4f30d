/* ident/identhandler.h: answering one IDENT connection. */
#ifndef QUILLET_IDENTHANDLER_H
#define QUILLET_IDENTHANDLER_H

/* Serves one accepted IDENT connection (its socket, see SocketArg): one
   query, its replies, then the close. Runs on a thread of its own. */
void IdentHandler(void *connection);

#endif
