/* notify/binding.cpp: which connection a record names, and whose it is. */
#include "binding.h"

#include "../ident/nodetable.h"

#include <stdio.h>

/* Connections that use one port pair at once: more than two servers on the
   same port reached from one local port is rare, and past this many the
   record is refused as ambiguous rather than guessed. */
static const int PAIR_CONNS_MAX = 16;

/* Sockets are numbered as they are made, so of two the higher is the newer. */
static bool bNewer(const PConn *a, const PConn *b)
{
    return a->holder != b->holder ? a->holder > b->holder : a->id > b->id;
}

static bool bSameAccount(const PConn *a, const PConn *b)
{
    return a->account != -1 && a->account == b->account;
}

static bool bAnotherAccounts(const PConn *a, const PConn *b)
{
    return a->account != -1 && b->account != -1 && a->account != b->account;
}

bool bHolderNamed(const PConn *end)
{
    return end->process != 0 || end->account != -1;
}

BindWhy ChooseConn(const PConn *sender, const PConn *conns, const int *same, const bool *held,
                   int n, int *chosen)
{
    if (n == 0)
        return BIND_NO_CONNECTION;
    int best = -1;
    for (int i = 0; i < n; i++)
        if (same[i] == 1 && (best == -1 || (held[best] && !held[i])))
            best = i;
    if (best != -1) {
        *chosen = best;
        return BIND_TAKEN;
    }
    int accounts = 0, unheld = -1;
    bool bOthers = false;
    for (int i = 0; i < n; i++) {
        bOthers = bOthers || bAnotherAccounts(sender, &conns[i]);
        if (same[i] != -1 || !bSameAccount(sender, &conns[i]))
            continue;
        accounts++;
        best = i;
        if (!held[i] && (unheld == -1 || bNewer(&conns[i], &conns[unheld])))
            unheld = i;
    }
    if (accounts == 1 || (accounts > 1 && unheld != -1)) {
        *chosen = accounts == 1 ? best : unheld;
        return BIND_TAKEN;
    }
    if (accounts > 1)
        return BIND_WHICH_UNKNOWN;
    return bOthers ? BIND_ANOTHER_ACCOUNTS : BIND_ANOTHER_PROGRAMS;
}

BindWhy BindRecord(const PConn *sender, int localPort, int remotePort, PConn *conn)
{
    PConn conns[PAIR_CONNS_MAX];
    int n = PlatFindConns(localPort, remotePort, conns, PAIR_CONNS_MAX);
    if (n < 0)
        return BIND_CANNOT_LOOK;
    if (n > PAIR_CONNS_MAX)
        return BIND_WHICH_UNKNOWN;
    int same[PAIR_CONNS_MAX];
    bool held[PAIR_CONNS_MAX];
    for (int i = 0; i < n; i++) {
        same[i] = PlatSameProgram(sender, &conns[i]);
        held[i] = NodeHoldingConn(&conns[i]) != -1;
    }
    int chosen = -1;
    BindWhy why = ChooseConn(sender, conns, same, held, n, &chosen);
    if (why == BIND_TAKEN)
        *conn = conns[chosen];
    return why;
}

BindWhy QuitAllowed(const PConn *sender, const PConn *conn)
{
    uint64_t id = 0;
    int open = PlatTcpConnected(conn->local, conn->localPort, conn->remote, conn->remotePort,
                                PlatTickUs(), &id);
    if (open == 0 || (open == 1 && conn->id != 0 && id != conn->id))
        return BIND_TAKEN;
    int same = PlatSameProgram(sender, conn);
    if (same == 1 || (same == -1 && bSameAccount(sender, conn)))
        return BIND_TAKEN;
    return bAnotherAccounts(sender, conn) || same == -1 ? BIND_ANOTHER_ACCOUNTS
                                                        : BIND_ANOTHER_PROGRAMS;
}

void BindWhyText(BindWhy why, int localPort, int remotePort, char *text, int size)
{
    switch (why) {
    case BIND_TAKEN:
        snprintf(text, size, "taken");
        break;
    case BIND_NO_CONNECTION:
        snprintf(text, size, "no connection from port <%i> to port <%i> on this host", localPort,
                 remotePort);
        break;
    case BIND_ANOTHER_ACCOUNTS:
        snprintf(text, size, "the connection from port <%i> to port <%i> is another account's",
                 localPort, remotePort);
        break;
    case BIND_ANOTHER_PROGRAMS:
        snprintf(text, size, "the connection from port <%i> to port <%i> is another program's",
                 localPort, remotePort);
        break;
    case BIND_WHICH_UNKNOWN:
        snprintf(text, size,
                 "cannot tell which connection from port <%i> to port <%i> is the sender's",
                 localPort, remotePort);
        break;
    case BIND_CANNOT_LOOK:
        snprintf(text, size, "the system did not list its connections");
        break;
    case BIND_SENDER_UNKNOWN:
        snprintf(text, size, "the system did not say which program sent it");
        break;
    }
}
