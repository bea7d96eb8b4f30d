/* ident/identhandler.h: answering one IDENT connection. */
#ifndef QUILLET_IDENTHANDLER_H
#define QUILLET_IDENTHANDLER_H

/* Serves one accepted IDENT connection (its socket, see SocketArg): one query, its
   replies, then the close. Runs on a thread of its own. A registered user
   is named only to the server at the other end of that user's connection:
   when the system knows of no established connection from the query's
   address and first port to the asker and the second port, the reply is
   NO-USER, as for a pair nobody registered. */
void IdentHandler(void *connection);

/* At start, before any query: whether to answer from the node table alone
   (--table-only), and whether the system can tell open connections at
   all (either way that the answers go unchecked, the log says so once);
   and whether users are answered with their IRC-safe idents (--irc-names). */
void InitIdentAnswers(int bTableOnly, int bIrcNames = 0);

#endif
