/* common/accept.cpp: accepting connections, starting their handlers, and
   keeping their number under the global cap (accept.h says why). */
#include "accept.h"

#include <condition_variable>
#include <limits.h>
#include <mutex>
#include <stdlib.h>

/* Pause after a failed accept for want of resources, or a failed thread
   start. Short enough that service resumes quickly once resources free up,
   long enough not to spin. */
static const int ACCEPT_RETRY_MS = 100;

/* Pause after an accept error that will not pass soon: nothing a retry can
   mend, so it only has to keep the loop from spinning. */
static const int ACCEPT_LASTING_MS = 1000;

/* The listeners wait on HandlerEnded while the count is at the cap. */
static std::mutex HandlersLock;
static std::condition_variable HandlerEnded;
static int iHandlerCap = 0;
static int iHandlersRunning = 0;

/* A handler thread's start: what it runs, on what. */
struct HandlerStart {
    void (*handler)(void *);
    void *arg;
};

static int Tighter(int cap, int limit)
{
    return limit >= 0 && (cap < 0 || limit < cap) ? limit : cap;
}

static int HandlerCapFor(const PlatLimits *limits)
{
    int cap = -1;
    if (limits->descriptors >= 0)
        cap = limits->descriptors - DESCRIPTORS_KEPT;
    if (limits->hostThreads >= 0)
        cap = Tighter(cap, (int)((int64_t)limits->hostThreads * THREAD_SHARE_PCT / 100));
    cap = Tighter(cap, limits->ownThreads);
    /* A system that names no limit at all leaves the handlers unbounded. */
    if (cap < 0)
        return INT_MAX;
    return cap < HANDLERS_MIN ? HANDLERS_MIN : cap;
}

static void InitCapLocked(void)
{
    PlatLimits limits = {-1, -1, -1};
    PlatHandlerLimits(&limits);
    iHandlerCap = HandlerCapFor(&limits);
}

void InitHandlerCaps(void)
{
    std::lock_guard<std::mutex> hold(HandlersLock);
    InitCapLocked();
}

void InitHandlerCapsFrom(const PlatLimits *limits)
{
    std::lock_guard<std::mutex> hold(HandlersLock);
    iHandlerCap = HandlerCapFor(limits);
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

static void HandlerMain(void *arg)
{
    HandlerStart hs = *(HandlerStart *)arg;
    free(arg);
    hs.handler(hs.arg);
    GiveBackHandlerPlace();
}

int StartHandlerThread(void (*handler)(void *), void *arg)
{
    HandlerStart *hs = (HandlerStart *)malloc(sizeof(HandlerStart));
    if (hs != nullptr) {
        *hs = {handler, arg};
        if (PlatThreadStart(HandlerMain, hs) == 0)
            return 0;
        free(hs);
    }
    GiveBackHandlerPlace();
    PlatSleep(ACCEPT_RETRY_MS);
    return -1;
}

void StartHandler(void (*handler)(void *), PSocket connection)
{
    if (StartHandlerThread(handler, SocketArg(connection)) != 0)
        PlatClose(connection);
}

void *SocketArg(PSocket s)
{
    return (void *)s;
}

PSocket ArgSocket(void *arg)
{
    return (PSocket)arg;
}
