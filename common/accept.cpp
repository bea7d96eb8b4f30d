/* common/accept.cpp: accepting connections, starting their handlers, and
   keeping their number under the global cap (accept.h says why). */
#include "accept.h"

#include "throttle.h"

#include <condition_variable>
#include <limits.h>
#include <mutex>
#include <stdio.h>
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

/* Handler threads started and not yet done, and whether the process is
   ending (StopHandlers). */
static int iHandlerThreads = 0;
static bool bStopping = false;

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

/* The places port may take: all, or all but the notification port's; none
   once the handlers are stopped. */
static int PlacesForLocked(HandlerPort port)
{
    if (bStopping)
        return 0;
    if (iHandlerCap == 0)
        InitCapLocked();
    int reserve = iHandlerCap / 4 < NOTIFY_RESERVE ? iHandlerCap / 4 : NOTIFY_RESERVE;
    return port == PORT_IDENT ? iHandlerCap - reserve : iHandlerCap;
}

int TryTakeHandlerPlace(HandlerPort port)
{
    std::lock_guard<std::mutex> hold(HandlersLock);
    if (iHandlersRunning >= PlacesForLocked(port))
        return 0;
    iHandlersRunning++;
    return 1;
}

/* Once the handlers are stopped, whoever waits for a place waits for good
   (no place comes free then): a listener stays parked here while the
   process ends. */
static void ParkWhileStopping(std::unique_lock<std::mutex> &hold)
{
    while (bStopping)
        HandlerEnded.wait(hold);
}

int WaitHandlerPlace(HandlerPort port, int ms)
{
    std::unique_lock<std::mutex> hold(HandlersLock);
    ParkWhileStopping(hold);
    auto bFree = [port] { return iHandlersRunning < PlacesForLocked(port); };
    if (ms < 0)
        HandlerEnded.wait(hold, bFree);
    else if (!HandlerEnded.wait_for(hold, std::chrono::milliseconds(ms), bFree))
        return 0;
    iHandlersRunning++;
    return 1;
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

/* Lasting accept errors by listener and error, and handler threads that
   could not start: each at most a line a minute. */
static Throttle AcceptFailures;
static Throttle ThreadFailures;

static void LogAcceptLines(const ThrottleLine *due, int n)
{
    for (int i = 0; i < n; i++) {
        char line[128];
        const char *who = (due[i].key >> 32) == PORT_IDENT ? "IdentListen" : "ClientListen";
        int code = (int)(uint32_t)due[i].key;
        if (due[i].kind == THROTTLE_FIRST)
            snprintf(line, sizeof(line), "- %s accept failing, LastError <%i>\r\n", who, code);
        else
            snprintf(line, sizeof(line),
                     "- %s accept failing, LastError <%i>: <%u> times in the last %i s\r\n", who,
                     code, due[i].iCount, due[i].iSeconds);
        MsgOut(line);
    }
}

static void LogThreadLines(const ThrottleLine *due, int n)
{
    for (int i = 0; i < n; i++) {
        char line[128];
        if (due[i].kind == THROTTLE_FIRST)
            snprintf(line, sizeof(line),
                     "- No handler thread could be started: its connection closed unanswered\r\n");
        else
            snprintf(line, sizeof(line),
                     "- No handler thread could be started: <%u> connections closed unanswered "
                     "in the last %i s\r\n",
                     due[i].iCount, due[i].iSeconds);
        MsgOut(line);
    }
}

/* Counts owed for failures that have stopped, on the next accept. */
static void SweepFailureLines(void)
{
    ThrottleLine due[THROTTLE_DUE_MAX];
    int64_t now = PlatTickMs();
    LogAcceptLines(due, ThrottleSweep(&AcceptFailures, now, due));
    LogThreadLines(due, ThrottleSweep(&ThreadFailures, now, due));
}

PSocket AcceptInPlace(PSocket listenSocket, PAddr *peer, PAddr *local, HandlerPort port)
{
    for (;;) {
        PSocket s = PlatAccept(listenSocket, peer, local);
        if (s != PSOCKET_INVALID) {
            SweepFailureLines();
            return s;
        }
        int err = PlatLastError();
        switch (PlatAcceptErrorKind(err)) {
        case PLAT_ACCEPT_ERR_CONNECTION:
            break;
        case PLAT_ACCEPT_ERR_RESOURCES:
            PlatSleep(ACCEPT_RETRY_MS);
            break;
        default: {
            ThrottleLine due[THROTTLE_DUE_MAX];
            uint64_t key = (uint64_t)port << 32 | (uint32_t)err;
            LogAcceptLines(due, ThrottleNote(&AcceptFailures, key, PlatTickMs(), due));
            PlatSleep(ACCEPT_LASTING_MS);
            break;
        }
        }
    }
}

PSocket AcceptNext(PSocket listenSocket, PAddr *peer, PAddr *local, HandlerPort port)
{
    WaitHandlerPlace(port, -1);
    return AcceptInPlace(listenSocket, peer, local, port);
}

/* Done with its connection while the process ends, a handler thread waits
   instead of returning, so that no thread is part way through its own end
   when the process's end stops it (Wine's ending of a process then can
   wait for ever on a lock such a thread held). */
static void HandlerMain(void *arg)
{
    HandlerStart hs = *(HandlerStart *)arg;
    free(arg);
    hs.handler(hs.arg);
    std::unique_lock<std::mutex> hold(HandlersLock);
    iHandlersRunning--;
    iHandlerThreads--;
    HandlerEnded.notify_all();
    ParkWhileStopping(hold);
}

/* 1 when the thread is counted as starting; 0 when handlers are stopped. */
static int CountHandlerThread(int n)
{
    std::lock_guard<std::mutex> hold(HandlersLock);
    if (bStopping && n > 0)
        return 0;
    iHandlerThreads += n;
    HandlerEnded.notify_all();
    return 1;
}

int StartHandlerThread(void (*handler)(void *), void *arg)
{
    if (!CountHandlerThread(1)) {
        GiveBackHandlerPlace();
        return -1;
    }
    HandlerStart *hs = (HandlerStart *)malloc(sizeof(HandlerStart));
    if (hs != nullptr) {
        *hs = {handler, arg};
        if (PlatThreadStart(HandlerMain, hs) == 0)
            return 0;
        free(hs);
    }
    CountHandlerThread(-1);
    GiveBackHandlerPlace();
    ThrottleLine due[THROTTLE_DUE_MAX];
    LogThreadLines(due, ThrottleNote(&ThreadFailures, 0, PlatTickMs(), due));
    PlatSleep(ACCEPT_RETRY_MS);
    return -1;
}

void StopHandlers(void)
{
    std::lock_guard<std::mutex> hold(HandlersLock);
    bStopping = true;
    HandlerEnded.notify_all();
}

int WaitHandlersDone(int ms)
{
    std::unique_lock<std::mutex> hold(HandlersLock);
    HandlerEnded.wait_for(hold, std::chrono::milliseconds(ms), [] { return iHandlerThreads == 0; });
    return iHandlerThreads;
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
