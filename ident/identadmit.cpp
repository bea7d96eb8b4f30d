/* ident/identadmit.cpp: the caps on IDENT handlers and their lines, and
   the closing of silent connections to make room at the global cap. */
#include "identadmit.h"

#include "identhandler.h"
#include "../common/accept.h"
#include "../common/state.h"
#include "../common/textutil.h"
#include "../common/throttle.h"

#include <condition_variable>
#include <list>
#include <mutex>
#include <stdio.h>
#include <unordered_map>
#include <unordered_set>

/* A shed connection's handler may find no wait that ends when its socket
   is shut down (Windows makes no promise); it looks again this often. */
static const int SHED_LOOK_MS = 1000;

/* How long the listener waits for the place a closed connection gives
   back, and when none could be closed, before it looks again. */
static const int SHED_PLACE_WAIT_MS = 100;
static const int NO_SHED_WAIT_MS = 1000;

/* Addresses remembered for the line about closed connections. */
static const size_t SHED_ADDRS_MAX = 65536;

enum SlotState { SLOT_WAITING, SLOT_TAKEN, SLOT_SHED };

/* One connection being handled. */
struct IdentSlot {
    PSocket connection;
    PAddr peer;
    void (*handler)(void *);
    SlotState state;
    std::condition_variable wake; /* the pause ends early when shed */
};

/* An address's connections, oldest first, and how many run. */
struct PeerSlots {
    int iRunning = 0;
    std::list<IdentSlot *> slots;
};

static std::mutex PeersLock;
static std::unordered_map<PAddr, PeerSlots> IdentPeers;

/* The slot of the connection this thread handles; null elsewhere. */
static thread_local IdentSlot *tlSlot = nullptr;

/* Connections closed over the cap per address, and closed to make room. */
static Throttle OverCap;
static Throttle Shed;
static std::unordered_set<PAddr> ShedAddrs; /* since the last line */

int IdentHandlersFrom(PAddr peer)
{
    std::lock_guard<std::mutex> hold(PeersLock);
    auto it = IdentPeers.find(peer);
    return it == IdentPeers.end() ? 0 : it->second.iRunning;
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

/* The shed lines due, formatted while the addresses are counted; called
   with the lock held, written after. */
static int FormatShedLines(const ThrottleLine *due, int n, char lines[][128])
{
    for (int i = 0; i < n; i++) {
        if (due[i].kind == THROTTLE_FIRST)
            snprintf(lines[i], 128,
                     "- IdentListen at its cap of <%i> handlers: closing connections that have "
                     "sent no query, unanswered\r\n",
                     HandlerCap());
        else
            snprintf(lines[i], 128,
                     "- IdentListen at its cap: <%u> connections closed unanswered from <%u> "
                     "addresses in the last %i s\r\n",
                     due[i].iCount, (unsigned)ShedAddrs.size(), due[i].iSeconds);
        ShedAddrs.clear();
    }
    return n;
}

static void LogLines(char lines[][128], int n)
{
    for (int i = 0; i < n; i++)
        MsgOut(lines[i]);
}

/* An IDENT handler has ended, or never started: its slot goes. Counts of
   lines owed are written here too. Kept out of line: it runs on the
   handler's thread after the handler, and its locals would otherwise
   deepen every handler's stack while it runs. */
__attribute__((noinline)) static void IdentHandlerGone(IdentSlot *slot)
{
    ThrottleLine due[THROTTLE_DUE_MAX];
    char lines[THROTTLE_DUE_MAX][128];
    int n;
    int64_t now = PlatTickMs();
    {
        std::lock_guard<std::mutex> hold(PeersLock);
        auto it = IdentPeers.find(slot->peer);
        if (it != IdentPeers.end()) {
            it->second.slots.remove(slot);
            if (--it->second.iRunning <= 0)
                IdentPeers.erase(it);
        }
        n = FormatShedLines(due, ThrottleSweep(&Shed, now, due), lines);
    }
    delete slot;
    LogLines(lines, n);
    LogOverCap(due, ThrottleSweep(&OverCap, now, due));
}

static void IdentHandlerMain(void *arg)
{
    IdentSlot *slot = (IdentSlot *)arg;
    tlSlot = slot;
    slot->handler(SocketArg(slot->connection));
    tlSlot = nullptr;
    IdentHandlerGone(slot);
}

/* Closes a connection whose query has not come; its handler ends at once.
   Called with the lock held. */
static void ShedLocked(IdentSlot *slot)
{
    slot->state = SLOT_SHED;
    PlatShutdown(slot->connection);
    slot->wake.notify_one();
}

/* Closes one silent connection to make room: of the address holding the
   most handlers (then the next, if it has none silent), the one that has
   waited longest. Its handler ends at once and gives its place back. 1
   when one was closed. Called with the lock held. */
static int ShedOneLocked(void)
{
    std::unordered_set<PAddr> tried;
    for (;;) {
        PeerSlots *most = nullptr;
        PAddr mostAddr = 0;
        for (auto &p : IdentPeers) {
            if (tried.count(p.first) == 0 &&
                (most == nullptr || p.second.iRunning > most->iRunning)) {
                most = &p.second;
                mostAddr = p.first;
            }
        }
        if (most == nullptr)
            return 0;
        for (IdentSlot *slot : most->slots) {
            if (slot->state == SLOT_WAITING && PlatBytesWaiting(slot->connection) == 0) {
                ShedLocked(slot);
                if (ShedAddrs.size() < SHED_ADDRS_MAX)
                    ShedAddrs.insert(mostAddr);
                return 1;
            }
        }
        tried.insert(mostAddr);
    }
}

void LetIdentWaitersGo(void)
{
    std::lock_guard<std::mutex> hold(PeersLock);
    for (auto &p : IdentPeers)
        for (IdentSlot *slot : p.second.slots)
            if (slot->state == SLOT_WAITING)
                ShedLocked(slot);
}

void TakeIdentPlace(void)
{
    while (!TryTakeHandlerPlace(PORT_IDENT)) {
        ThrottleLine due[THROTTLE_DUE_MAX];
        char lines[THROTTLE_DUE_MAX][128];
        int n = 0, bShed;
        {
            std::lock_guard<std::mutex> hold(PeersLock);
            bShed = ShedOneLocked();
            if (bShed)
                n = FormatShedLines(due, ThrottleNote(&Shed, 0, PlatTickMs(), due), lines);
        }
        LogLines(lines, n);
        if (WaitHandlerPlace(PORT_IDENT, bShed ? SHED_PLACE_WAIT_MS : NO_SHED_WAIT_MS))
            return;
    }
}

int IdentPause(int ms)
{
    IdentSlot *slot = tlSlot;
    if (slot == nullptr) {
        PlatSleep(ms);
        return 1;
    }
    std::unique_lock<std::mutex> hold(PeersLock);
    slot->wake.wait_for(hold, std::chrono::milliseconds(ms),
                        [slot] { return slot->state == SLOT_SHED; });
    return slot->state != SLOT_SHED;
}

int IdentReceiveQuery(PSocket s, char *buf, int len, int timeoutMs)
{
    IdentSlot *slot = tlSlot;
    if (slot == nullptr)
        return PlatRecv(s, buf, len, timeoutMs);
    int64_t deadline = PlatTickMs() + timeoutMs;
    for (;;) {
        int64_t left = deadline - PlatTickMs();
        int ready =
            PlatWaitReadable(s, left < SHED_LOOK_MS ? (int)(left > 0 ? left : 0) : SHED_LOOK_MS);
        {
            /* Taken under the lock that shedding holds, before the bytes are
               read: a query that has come keeps its connection. */
            std::lock_guard<std::mutex> hold(PeersLock);
            if (slot->state == SLOT_SHED)
                return -1;
            if (ready != 0) {
                slot->state = SLOT_TAKEN;
                break;
            }
        }
        if (left <= SHED_LOOK_MS)
            return -1;
    }
    return PlatRecv(s, buf, len, 0);
}

void AdmitIdentTo(void (*handler)(void *), PSocket connection, PAddr peer)
{
    IdentSlot *slot = nullptr;
    {
        std::lock_guard<std::mutex> hold(PeersLock);
        PeerSlots &ps = IdentPeers[peer];
        if (ps.iRunning < IDENT_HANDLERS_PER_ADDR) {
            slot = new IdentSlot{connection, peer, handler, SLOT_WAITING, {}};
            ps.iRunning++;
            ps.slots.push_back(slot);
        }
    }
    if (slot == nullptr) {
        /* Counted as every IDENT connection is, though never handled. */
        iRcvdIdentRequests++;
        PlatClose(connection);
        GiveBackHandlerPlace();
        ThrottleLine due[THROTTLE_DUE_MAX];
        LogOverCap(due, ThrottleNote(&OverCap, peer, PlatTickMs(), due));
        return;
    }
    if (StartHandlerThread(IdentHandlerMain, slot) == 0)
        return;
    PlatClose(connection);
    IdentHandlerGone(slot);
}

void AdmitIdent(PSocket connection, PAddr peer)
{
    AdmitIdentTo(IdentHandler, connection, peer);
}
