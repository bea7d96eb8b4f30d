/* ident/identadmit.cpp: the per-address cap on IDENT handlers and its line. */
#include "identadmit.h"

#include "identhandler.h"
#include "../common/accept.h"
#include "../common/state.h"
#include "../common/textutil.h"
#include "../common/throttle.h"

#include <mutex>
#include <stdio.h>
#include <stdlib.h>
#include <unordered_map>

/* Handlers running per peer address; an address leaves with its last. */
static std::mutex PeersLock;
static std::unordered_map<PAddr, int> IdentPeers;

/* Connections closed over the cap, by address. */
static Throttle OverCap;

/* What an IDENT handler's thread is given. */
struct IdentStart {
    void (*handler)(void *);
    PSocket connection;
    PAddr peer;
};

int IdentHandlersFrom(PAddr peer)
{
    std::lock_guard<std::mutex> hold(PeersLock);
    auto it = IdentPeers.find(peer);
    return it == IdentPeers.end() ? 0 : it->second;
}

static void LogOverCap(const ThrottleLine *due, int n)
{
    for (int i = 0; i < n; i++) {
        char addr[ADDR_TEXT_SIZE], line[112];
        if (due[i].kind == THROTTLE_OVERFLOW)
            snprintf(line, sizeof(line),
                     "- IdentListen too many connections from other addresses: <%u> closed "
                     "unanswered\r\n",
                     due[i].iCount);
        else
            snprintf(line, sizeof(line),
                     "- IdentListen too many connections from <%s>: <%u> closed unanswered\r\n",
                     AddrText(addr, (PAddr)due[i].key), due[i].iCount);
        MsgOut(line);
    }
}

/* An IDENT handler of peer has ended, or never started. Counts of
   addresses that have gone quiet are written here too. Kept out of line:
   it runs on the handler's thread after the handler, and its locals
   would otherwise deepen every handler's stack while it runs. */
__attribute__((noinline)) static void IdentHandlerGone(PAddr peer)
{
    {
        std::lock_guard<std::mutex> hold(PeersLock);
        auto it = IdentPeers.find(peer);
        if (it != IdentPeers.end() && --it->second <= 0)
            IdentPeers.erase(it);
    }
    ThrottleLine due[THROTTLE_DUE_MAX];
    LogOverCap(due, ThrottleSweep(&OverCap, PlatTickMs(), due));
}

static void IdentHandlerMain(void *arg)
{
    IdentStart start = *(IdentStart *)arg;
    free(arg);
    start.handler(SocketArg(start.connection));
    IdentHandlerGone(start.peer);
}

void AdmitIdentTo(void (*handler)(void *), PSocket connection, PAddr peer)
{
    int bOver;
    {
        std::lock_guard<std::mutex> hold(PeersLock);
        int &running = IdentPeers[peer];
        bOver = running >= IDENT_HANDLERS_PER_ADDR;
        if (!bOver)
            running++;
    }
    if (bOver) {
        /* Counted as every IDENT connection is, though never handled. */
        iRcvdIdentRequests++;
        PlatClose(connection);
        GiveBackHandlerPlace();
        ThrottleLine due[THROTTLE_DUE_MAX];
        LogOverCap(due, ThrottleNote(&OverCap, peer, PlatTickMs(), due));
        return;
    }
    IdentStart *start = (IdentStart *)malloc(sizeof(IdentStart));
    if (start != nullptr) {
        *start = {handler, connection, peer};
        if (StartHandlerThread(IdentHandlerMain, start) == 0)
            return;
        free(start);
    } else {
        GiveBackHandlerPlace();
    }
    PlatClose(connection);
    IdentHandlerGone(peer);
}

void AdmitIdent(PSocket connection, PAddr peer)
{
    AdmitIdentTo(IdentHandler, connection, peer);
}
