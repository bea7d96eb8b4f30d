/* ident/identhandler.h: answering IDENT queries. */
#ifndef QUILLET_IDENTHANDLER_H
#define QUILLET_IDENTHANDLER_H

#include "identconn.h"

/* Serves one accepted IDENT connection (its socket, see SocketArg) to the
   end, on a loop of its own (ident/identloop.h): the wait, one query, its
   replies each with its wait, then the close. For callers that hand a
   thread one connection; the service runs every connection on one loop. */
void IdentHandler(void *connection);

/* Cuts query, then sends s the first reply: the lowest matching node's,
   with its line, or NO-USER with the line that nothing matched. A
   registered user is named only to the server at the other end of that
   user's connection: when the system knows of no established connection
   from the query's address and first port to the asker and the second
   port, the reply is NO-USER, as for a pair nobody registered. ask holds
   what the next replies need. */
void IdentFirstAnswer(PSocket s, const char *query, IdentAsk *ask);

/* After a reply's wait: the next matching node's reply, looked up in the
   table as it stands now; 1 when one was sent, 0 when none is left. */
int IdentNextAnswer(PSocket s, IdentAsk *ask);

/* 1 when, as the table stands now, no reply follows the one sent. */
int bIdentLastAnswer(const IdentAsk *ask);

/* Puts out the counts of queries that matched no node whose minute has
   passed. Called where the loop passes anyway. */
void IdentAnswersSweep(void);

/* At start, before any query: whether to answer from the node table alone
   (--table-only), and whether the system can tell open connections at
   all (either way that the answers go unchecked, the log says so once);
   and whether users are answered with their IRC-safe idents (--irc-names). */
void InitIdentAnswers(int bTableOnly, int bIrcNames = 0);

/* 1 when answering from the node table alone: then records are taken as
   they come, bound to no connection. */
int bIdentTableOnly(void);

#endif
