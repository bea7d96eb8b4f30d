/* ident/identhandler.cpp: answering one IDENT query. */
#include "identhandler.h"

#include "identquery.h"
#include "nodetable.h"
#include "../common/accept.h"
#include "../common/platform.h"
#include "../common/state.h"
#include "../common/waits.h"

#include <stdio.h>

static void SendReply(PSocket s, IdentReplyKind kind, int first, int second, const char *name)
{
    char reply[IDENT_REPLY_SIZE];
    int len = IdentFormatReply(reply, kind, first, second, name);
    PlatSend(s, reply, len);
}

void IdentHandler(void *connection)
{
    PSocket s = ArgSocket(connection);
    iRcvdIdentRequests++;

    /* Peers are made to wait before their query is read. */
    PlatSleep(iIdentWaitMs);

    char query[IDENT_QUERY_MAX + 1];
    int n = PlatRecv(s, query, IDENT_QUERY_MAX, iIdleTimeoutMs);
    if (n > 0) {
        query[n] = '\0';
        int first, second;
        IdentCutQuery(query, &first, &second);

        char name[NODE_NAME_SIZE];
        char line[64];
        int matches = 0;
        for (int i = FindNodeRec(first, second, 0, name); i != -1;
             i = FindNodeRec(first, second, i + 1, name)) {
            matches++;
            snprintf(line, sizeof(line), "- IdentHandler match found on node <%i>\r\n", i);
            MsgOut(line);
            SendReply(s, IdentKindForName(name), first, second, name);
            PlatSleep(iIdentWaitMs);
        }
        if (matches == 0) {
            MsgOut("- IdentHandler no match found\r\n");
            SendReply(s, IDENT_NO_USER, first, second, "");
            PlatSleep(iIdentWaitMs);
        }
    }
    PlatClose(s);
}
