/* ident/identquery.h: cutting an IDENT query into its two ports and
   formatting the three replies. Pure functions over bytes. */
#ifndef QUILLET_IDENTQUERY_H
#define QUILLET_IDENTQUERY_H

#include <stddef.h>

#define IDENT_QUERY_MAX 1024 /* bytes taken from one receive */
#define IDENT_WORK_MAX 127   /* characters of the query kept while cutting it */
#define IDENT_REPLY_SIZE 192 /* the longest reply is 171 characters */

enum IdentReplyKind { IDENT_USERID, IDENT_HIDDEN_USER, IDENT_NO_USER };

/* Reads the port on this host (first) and the port on the asking host
   (second) from a NUL-terminated query. */
void IdentCutQuery(const char *query, int *first, int *second);

/* The reply kind for a matching entry's name: NO-USER for a name that
   would show as empty. */
IdentReplyKind IdentKindForName(const char *name);

/* Formats one reply line into reply (IDENT_REPLY_SIZE bytes); name is used
   only for IDENT_USERID. Returns the reply's length. */
int IdentFormatReply(char *reply, IdentReplyKind kind, int first, int second, const char *name);

#endif
