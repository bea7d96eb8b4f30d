/* ident/identadmit.cpp: the places of IDENT connections and their lines. */
#include "identadmit.h"

#include "../common/textutil.h"
#include "../common/throttle.h"

#include <mutex>
#include <stdio.h>
#include <unordered_set>

/* Addresses remembered for the line about closed connections. */
static const size_t SHED_ADDRS_MAX = 65536;

static void BucketUnlink(IdentAdmit *a, IdentPeer *p)
{
    if (p->bucketPrev != nullptr)
        p->bucketPrev->bucketNext = p->bucketNext;
    else
        a->buckets[(size_t)p->iHeld] = p->bucketNext;
    if (p->bucketNext != nullptr)
        p->bucketNext->bucketPrev = p->bucketPrev;
    p->bucketPrev = p->bucketNext = nullptr;
}

static void BucketLink(IdentAdmit *a, IdentPeer *p)
{
    if ((size_t)p->iHeld >= a->buckets.size())
        a->buckets.resize((size_t)p->iHeld + 1, nullptr);
    IdentPeer *&head = a->buckets[(size_t)p->iHeld];
    p->bucketPrev = nullptr;
    p->bucketNext = head;
    if (head != nullptr)
        head->bucketPrev = p;
    head = p;
    if (p->iHeld > a->iMaxHeld)
        a->iMaxHeld = p->iHeld;
    while (a->iMaxHeld > 0 && a->buckets[(size_t)a->iMaxHeld] == nullptr)
        a->iMaxHeld--;
}

static void SetHeld(IdentAdmit *a, IdentPeer *p, int held)
{
    BucketUnlink(a, p);
    p->iHeld = held;
    BucketLink(a, p);
}

void IdentAdmitInit(IdentAdmit *a, int cap)
{
    a->iCap = cap;
    a->iReserve = cap / 8 < IDENT_RESERVE_MAX ? cap / 8 : IDENT_RESERVE_MAX;
    a->iHeld = 0;
    a->peers.clear();
    a->buckets.assign(1, nullptr);
    a->iMaxHeld = 0;
}

IdentPeer *IdentPeerOf(IdentAdmit *a, PAddr addr)
{
    auto it = a->peers.find(addr);
    if (it != a->peers.end())
        return it->second;
    IdentPeer *p = new IdentPeer{addr, 0, {}, {}, nullptr, nullptr};
    a->peers[addr] = p;
    BucketLink(a, p);
    return p;
}

void IdentAdmitForget(IdentAdmit *a, IdentPeer *p)
{
    if (p->iHeld != 0)
        return;
    BucketUnlink(a, p);
    a->peers.erase(p->addr);
    delete p;
}

int bIdentOverAddrCap(const IdentPeer *p)
{
    return p->iHeld >= IDENT_HANDLERS_PER_ADDR ? 1 : 0;
}

int bIdentAdmitFull(const IdentAdmit *a, const IdentPeer *p)
{
    int places = p->iHeld < IDENT_FEW_PER_ADDR ? a->iCap : a->iCap - a->iReserve;
    return a->iHeld >= places ? 1 : 0;
}

IdentConn *IdentPickVictim(IdentAdmit *a)
{
    for (int held = a->iMaxHeld; held > 0; held--) {
        for (IdentPeer *p = a->buckets[(size_t)held]; p != nullptr; p = p->bucketNext) {
            if (p->quiet.head != nullptr)
                return p->quiet.head;
            if (p->lastWait.head != nullptr)
                return p->lastWait.head;
        }
    }
    return nullptr;
}

void IdentAdmitTake(IdentAdmit *a, IdentPeer *p, IdentConn *c)
{
    c->peer = p;
    c->state = CONN_WAITING;
    ConnListPush(&p->quiet, c, LINK_PEER);
    SetHeld(a, p, p->iHeld + 1);
    a->iHeld++;
}

void IdentAdmitSetState(IdentConn *c, IdentConnState state)
{
    bool bWasQuiet = c->state == CONN_WAITING || c->state == CONN_SILENT;
    bool bQuiet = state == CONN_WAITING || state == CONN_SILENT;
    c->state = state;
    /* Waiting to silent keeps its place: the list stays oldest first. */
    if (bWasQuiet && bQuiet)
        return;
    ConnListUnlink(c, LINK_PEER);
    if (bQuiet)
        ConnListPush(&c->peer->quiet, c, LINK_PEER);
    else if (state == CONN_LAST_WAIT)
        ConnListPush(&c->peer->lastWait, c, LINK_PEER);
}

void IdentAdmitRelease(IdentAdmit *a, IdentConn *c)
{
    IdentPeer *p = c->peer;
    ConnListUnlink(c, LINK_PEER);
    SetHeld(a, p, p->iHeld - 1);
    a->iHeld--;
    c->peer = nullptr;
}

int IdentHeldFrom(const IdentAdmit *a, PAddr addr)
{
    auto it = a->peers.find(addr);
    return it == a->peers.end() ? 0 : it->second->iHeld;
}

/* Connections closed over the cap per address, and closed to make room,
   with the addresses these came from since the last line. */
static Throttle OverCap;
static Throttle Shed;
static std::mutex ShedLock;
static std::unordered_set<PAddr> ShedAddrs;
static int iShedCap = 0;

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

static void LogShed(const ThrottleLine *due, int n)
{
    for (int i = 0; i < n; i++) {
        char line[128];
        size_t addrs;
        {
            std::lock_guard<std::mutex> hold(ShedLock);
            addrs = ShedAddrs.size();
            ShedAddrs.clear();
        }
        if (due[i].kind == THROTTLE_FIRST)
            snprintf(line, sizeof(line),
                     "- IdentListen at its cap of <%i> handlers: closing connections that have "
                     "sent no query, unanswered\r\n",
                     iShedCap);
        else
            snprintf(line, sizeof(line),
                     "- IdentListen at its cap: <%u> connections closed unanswered from <%u> "
                     "addresses in the last %i s\r\n",
                     due[i].iCount, (unsigned)addrs, due[i].iSeconds);
        MsgOut(line);
    }
}

void IdentNoteOverAddrCap(PAddr addr)
{
    ThrottleLine due[THROTTLE_DUE_MAX];
    LogOverCap(due, ThrottleNote(&OverCap, addr, PlatTickMs(), due));
}

void IdentNoteShed(const IdentAdmit *a, PAddr addr)
{
    {
        std::lock_guard<std::mutex> hold(ShedLock);
        iShedCap = a->iCap;
        if (ShedAddrs.size() < SHED_ADDRS_MAX)
            ShedAddrs.insert(addr);
    }
    ThrottleLine due[THROTTLE_DUE_MAX];
    LogShed(due, ThrottleNote(&Shed, 0, PlatTickMs(), due));
}

void IdentAdmitSweep(void)
{
    ThrottleLine due[THROTTLE_DUE_MAX];
    int64_t now = PlatTickMs();
    LogShed(due, ThrottleSweep(&Shed, now, due));
    LogOverCap(due, ThrottleSweep(&OverCap, now, due));
}
