/* ident/identquery.cpp: the query parser and the reply formatter. */
#include "identquery.h"

#include "../common/textutil.h"

#include <stdio.h>
#include <string.h>

/* The name a user registers to be hidden from IDENT queries. */
static const char HIDDEN_NAME[] = "DISABLED";

void IdentCutQuery(const char *query, int *first, int *second)
{
    char work[IDENT_WORK_MAX + 1];
    int p = StrPos(query, " ");
    if (p == -1) {
        /* No blank at all, as in "1234,194": the numbers stand either side
           of the first comma. */
        *first = DecimalValue(LeftStr(work, query, IDENT_WORK_MAX));
        int comma = StrPos(query, ",");
        *second = comma == -1 ? 0 : DecimalValue(LeftStr(work, query + comma + 1, IDENT_WORK_MAX));
        return;
    }
    *first = DecimalValue(LeftStr(work, query, p < IDENT_WORK_MAX ? p : IDENT_WORK_MAX));
    LeftStr(work, SkipWord(query), IDENT_WORK_MAX);
    const char *rest = SkipSpace(SkipComma(SkipSpace(work)));
    *second = DecimalValue(rest);
}

IdentReplyKind IdentKindForName(const char *name)
{
    if (strcmp(name, HIDDEN_NAME) == 0)
        return IDENT_HIDDEN_USER;
    /* A USERID reply must name somebody: a name that is empty as sent, or
       once cut at its line break, answers as nobody. */
    if (strcspn(name, "\r\n") == 0)
        return IDENT_NO_USER;
    return IDENT_USERID;
}

int IdentFormatReply(char *reply, IdentReplyKind kind, int first, int second, const char *name)
{
    int n;
    switch (kind) {
    case IDENT_USERID: {
        /* A CR or LF in a name would split the reply into several lines. */
        int len = (int)strcspn(name, "\r\n");
        n = snprintf(reply, IDENT_REPLY_SIZE, "%i,%i : USERID : UNIX : %.*s\r\n", first, second,
                     len, name);
        break;
    }
    case IDENT_HIDDEN_USER:
        /* fixed text: keep the blank before CR LF */
        n = snprintf(reply, IDENT_REPLY_SIZE, "%i,%i : ERROR : HIDDEN-USER \r\n", first, second);
        break;
    default:
        /* fixed text: keep the blank before CR LF */
        n = snprintf(reply, IDENT_REPLY_SIZE, "%i,%i : ERROR : NO-USER \r\n", first, second);
        break;
    }
    if (n < 0)
        n = 0;
    return n < IDENT_REPLY_SIZE ? n : IDENT_REPLY_SIZE - 1;
}
