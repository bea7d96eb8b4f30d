/* common/accept.cpp: accepting connections, starting their handlers, and
   keeping their numbers under the caps (accept.h says why these). */
#include "accept.h"

#include "state.h"

#include <condition_variable>
#include <mutex>
#include <stdio.h>
#include <stdlib.h>
#include <unordered_map>
#include <utility>
#include <vector>

/* Pause after a failed accept for want of resources, or a failed thread
   start. Short enough that service resumes quickly once resources free up,
   long enough not to spin. */
static const int ACCEPT_RETRY_MS = 100;

/* Pause after an accept error that will not pass soon: nothing a retry can
   mend, so it only has to keep the loop from spinning. */
static const int ACCEPT_LASTING_MS = 1000;

/* An address over its cap is logged at most this often. */
static const int64_t REFUSED_LINE_MS = 60000;

/* What one peer address holds on the IDENT port. An entry goes when the
   address has no handler left and its last line is a minute old. */
struct PeerCount {
    int iRunning;
    int iRefused;      /* closed over the cap since the last line */
    int64_t tLastLine; /* 0: never logged */
};

/* The global count and the per-address table share one lock; the
   listeners wait on HandlerEnded while the count is at the cap. */
static std::mutex HandlersLock;
static std::condition_variable HandlerEnded;
static int iHandlerCap = 0;
static int iHandlersRunning = 0;
static std::unordered_map<PAddr, PeerCount> IdentPeers;
static int64_t tLastSweep = 0;

/* Lines owed for addresses over the cap, logged once the lock is let go. */
typedef std::vector<std::pair<PAddr, int>> RefusedLines;

/* A handler thread's start: what it runs, and what it gives back at its
   end. */
struct HandlerStart {
    void (*handler)(void *);
    PSocket connection;
    PAddr peer;
    int bIdent;
};

static int HandlerCapFor(int descriptors, int threads)
{
    int cap = -1;
    if (descriptors >= 0)
        cap = descriptors - DESCRIPTORS_KEPT;
    if (threads >= 0) {
        int share = (int)((int64_t)threads * THREAD_SHARE_PCT / 100);
        if (cap < 0 || share < cap)
            cap = share;
    }
    if (descriptors < 0 && threads < 0)
        cap = HANDLERS_MAX_FIXED;
    return cap < HANDLERS_MIN ? HANDLERS_MIN : cap;
}

static void InitCapLocked(void)
{
    int descriptors = -1, threads = -1;
    PlatHandlerLimits(&descriptors, &threads);
    iHandlerCap = HandlerCapFor(descriptors, threads);
}

void InitHandlerCaps(void)
{
    std::lock_guard<std::mutex> hold(HandlersLock);
    InitCapLocked();
}

void InitHandlerCapsFrom(int descriptors, int threads)
{
    std::lock_guard<std::mutex> hold(HandlersLock);
    iHandlerCap = HandlerCapFor(descriptors, threads);
    HandlerEnded.notify_all();
}

int HandlerCap(void)
{
    std::lock_guard<std::mutex> hold(HandlersLock);
    if (iHandlerCap == 0)
        InitCapLocked();
    return iHandlerCap;
}

int HandlersRunning(void)
{
    std::lock_guard<std::mutex> hold(HandlersLock);
    return iHandlersRunning;
}

int IdentHandlersFrom(PAddr peer)
{
    std::lock_guard<std::mutex> hold(HandlersLock);
    auto it = IdentPeers.find(peer);
    return it == IdentPeers.end() ? 0 : it->second.iRunning;
}

static void TakeHandlerPlace(void)
{
    std::unique_lock<std::mutex> hold(HandlersLock);
    if (iHandlerCap == 0)
        InitCapLocked();
    HandlerEnded.wait(hold, [] { return iHandlersRunning < iHandlerCap; });
    iHandlersRunning++;
}

/* The listeners are woken with the lock held, so that whoever next takes
   the lock (a test seeing the count back, the process ending) finds the
   handler wholly done with the shared state. */
void GiveBackHandlerPlace(void)
{
    std::lock_guard<std::mutex> hold(HandlersLock);
    iHandlersRunning--;
    HandlerEnded.notify_all();
}

PSocket AcceptNext(PSocket listenSocket, PAddr *peer, PAddr *local)
{
    TakeHandlerPlace();
    for (;;) {
        PSocket s = PlatAccept(listenSocket, peer, local);
        if (s != PSOCKET_INVALID)
            return s;
        switch (PlatAcceptErrorKind(PlatLastError())) {
        case PLAT_ACCEPT_ERR_CONNECTION:
            break;
        case PLAT_ACCEPT_ERR_RESOURCES:
            PlatSleep(ACCEPT_RETRY_MS);
            break;
        default:
            PlatSleep(ACCEPT_LASTING_MS);
            break;
        }
    }
}

/* Drops an address's entry once nothing keeps it: no handler running, no
   closed connection waiting to be logged and no line within the last
   minute. Called with the lock held. */
static void ForgetPeerLocked(std::unordered_map<PAddr, PeerCount>::iterator it, int64_t now)
{
    const PeerCount &pc = it->second;
    if (pc.iRunning == 0 && pc.iRefused == 0 &&
        (pc.tLastLine == 0 || now - pc.tLastLine >= REFUSED_LINE_MS))
        IdentPeers.erase(it);
}

/* Once a minute: addresses with nothing running whose last line is a
   minute old get their remaining count logged, or are forgotten, so the
   table holds only addresses with handlers or a line in the last minutes. */
static void SweepPeersLocked(int64_t now, RefusedLines &lines)
{
    if (now - tLastSweep < REFUSED_LINE_MS)
        return;
    tLastSweep = now;
    for (auto it = IdentPeers.begin(); it != IdentPeers.end();) {
        PeerCount &pc = it->second;
        if (pc.iRunning > 0 || (pc.tLastLine != 0 && now - pc.tLastLine < REFUSED_LINE_MS)) {
            ++it;
        } else if (pc.iRefused > 0) {
            lines.push_back(std::make_pair(it->first, pc.iRefused));
            pc.iRefused = 0;
            pc.tLastLine = now;
            ++it;
        } else {
            it = IdentPeers.erase(it);
        }
    }
}

static void LogRefused(const RefusedLines &lines)
{
    for (const auto &l : lines) {
        PAddr peer = l.first;
        char line[112];
        snprintf(line, sizeof(line),
                 "- IdentListen too many connections from <%u.%u.%u.%u>: <%i> closed unanswered\r\n",
                 peer >> 24, (peer >> 16) & 255, (peer >> 8) & 255, peer & 255, l.second);
        MsgOut(line);
    }
}

/* An IDENT handler of peer has ended, or never started. */
static void IdentHandlerGone(PAddr peer, RefusedLines &lines)
{
    std::lock_guard<std::mutex> hold(HandlersLock);
    int64_t now = PlatTickMs();
    auto it = IdentPeers.find(peer);
    if (it != IdentPeers.end()) {
        it->second.iRunning--;
        ForgetPeerLocked(it, now);
    }
    SweepPeersLocked(now, lines);
}

/* What a handler thread does once its handler is done. Kept out of line:
   its locals would otherwise sit in HandlerMain's frame, under the
   handler's, and deepen every handler's stack while it runs. Each held
   connection costs the stack pages its thread touches, so one page more
   is 4 KiB for every held connection. */
__attribute__((noinline)) static void HandlerDone(int bIdent, PAddr peer)
{
    RefusedLines lines;
    if (bIdent)
        IdentHandlerGone(peer, lines);
    GiveBackHandlerPlace();
    LogRefused(lines);
}

static void HandlerMain(void *arg)
{
    HandlerStart hs = *(HandlerStart *)arg;
    free(arg);
    hs.handler(SocketArg(hs.connection));
    HandlerDone(hs.bIdent, hs.peer);
}

/* Starts the handler's thread; on failure closes the connection, gives
   its place back and pauses. 0 when it started. */
static int StartThread(const HandlerStart &start)
{
    HandlerStart *hs = (HandlerStart *)malloc(sizeof(HandlerStart));
    if (hs != nullptr) {
        *hs = start;
        if (PlatThreadStart(HandlerMain, hs) == 0)
            return 0;
        free(hs);
    }
    PlatClose(start.connection);
    GiveBackHandlerPlace();
    PlatSleep(ACCEPT_RETRY_MS);
    return -1;
}

void StartHandler(void (*handler)(void *), PSocket connection)
{
    HandlerStart hs = {handler, connection, 0, 0};
    StartThread(hs);
}

void StartIdentHandler(void (*handler)(void *), PSocket connection, PAddr peer)
{
    RefusedLines lines;
    int bOver;
    {
        std::lock_guard<std::mutex> hold(HandlersLock);
        int64_t now = PlatTickMs();
        SweepPeersLocked(now, lines);
        PeerCount &pc = IdentPeers[peer];
        bOver = pc.iRunning >= IDENT_HANDLERS_PER_ADDR;
        if (bOver) {
            pc.iRefused++;
            if (pc.tLastLine == 0 || now - pc.tLastLine >= REFUSED_LINE_MS) {
                lines.push_back(std::make_pair(peer, pc.iRefused));
                pc.iRefused = 0;
                pc.tLastLine = now;
            }
        } else {
            pc.iRunning++;
        }
    }
    if (bOver) {
        /* Counted as every IDENT connection is, though never handled. */
        iRcvdIdentRequests++;
        PlatClose(connection);
        GiveBackHandlerPlace();
    } else {
        HandlerStart hs = {handler, connection, peer, 1};
        if (StartThread(hs) != 0)
            IdentHandlerGone(peer, lines);
    }
    LogRefused(lines);
}

void *SocketArg(PSocket s)
{
    return (void *)s;
}

PSocket ArgSocket(void *arg)
{
    return (PSocket)arg;
}
