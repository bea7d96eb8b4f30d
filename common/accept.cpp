/* common/accept.cpp: accepting connections, the notification port's
   handler threads under their cap, and the cap on IDENT connections
   (accept.h says why). */
#include "accept.h"

#include "throttle.h"

#include <condition_variable>
#include <limits.h>
#include <mutex>
#include <stdio.h>
#include <stdlib.h>

/* The listener waits on HandlerEnded while the count is at the cap. */
static std::mutex HandlersLock;
static std::condition_variable HandlerEnded;
static int iIdentCap = 0;
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

static int IdentCapFor(const PlatLimits *limits, int iAskedCap)
{
    int cap = INT_MAX;
    /* A system that names no limit leaves the connections unbounded. */
    if (limits->descriptors >= 0) {
        cap = limits->descriptors - DESCRIPTORS_KEPT;
        if (cap < HANDLERS_MIN)
            cap = HANDLERS_MIN;
    }
    return iAskedCap > 0 && iAskedCap < cap ? iAskedCap : cap;
}

static void InitCapLocked(int iAskedCap)
{
    PlatLimits limits = {-1};
    PlatHandlerLimits(&limits);
    iIdentCap = IdentCapFor(&limits, iAskedCap);
}

void InitHandlerCaps(int iAskedCap)
{
    std::lock_guard<std::mutex> hold(HandlersLock);
    InitCapLocked(iAskedCap);
}

void InitHandlerCapsFrom(const PlatLimits *limits, int iAskedCap)
{
    std::lock_guard<std::mutex> hold(HandlersLock);
    iIdentCap = IdentCapFor(limits, iAskedCap);
}

int IdentCap(void)
{
    std::lock_guard<std::mutex> hold(HandlersLock);
    if (iIdentCap == 0)
        InitCapLocked(0);
    return iIdentCap;
}

int HandlersRunning(void)
{
    std::lock_guard<std::mutex> hold(HandlersLock);
    return iHandlersRunning;
}

static bool bPlaceFreeLocked(void)
{
    return !bStopping && iHandlersRunning < NOTIFY_HANDLERS_MAX;
}

int TryTakeHandlerPlace(void)
{
    std::lock_guard<std::mutex> hold(HandlersLock);
    if (!bPlaceFreeLocked())
        return 0;
    iHandlersRunning++;
    return 1;
}

int WaitHandlerPlace(int ms)
{
    std::unique_lock<std::mutex> hold(HandlersLock);
    if (ms < 0)
        HandlerEnded.wait(hold, bPlaceFreeLocked);
    else if (!HandlerEnded.wait_for(hold, std::chrono::milliseconds(ms), bPlaceFreeLocked))
        return 0;
    iHandlersRunning++;
    return 1;
}

/* The listener is woken with the lock held, so that whoever next takes
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

void NoteAcceptFailure(HandlerPort port, int err)
{
    ThrottleLine due[THROTTLE_DUE_MAX];
    uint64_t key = (uint64_t)port << 32 | (uint32_t)err;
    LogAcceptLines(due, ThrottleNote(&AcceptFailures, key, PlatTickMs(), due));
}

void SweepAcceptLines(void)
{
    ThrottleLine due[THROTTLE_DUE_MAX];
    int64_t now = PlatTickMs();
    LogAcceptLines(due, ThrottleSweep(&AcceptFailures, now, due));
    LogThreadLines(due, ThrottleSweep(&ThreadFailures, now, due));
}

PSocket AcceptInPlace(PSocket listenSocket, PAddr *peer, PAddr *local)
{
    for (;;) {
        PSocket s = PlatAccept(listenSocket, peer, local);
        if (s != PSOCKET_INVALID) {
            SweepAcceptLines();
            return s;
        }
        int err = PlatLastError();
        switch (PlatAcceptErrorKind(err)) {
        case PLAT_ACCEPT_ERR_CONNECTION:
        case PLAT_ACCEPT_ERR_NONE_PENDING:
            break;
        case PLAT_ACCEPT_ERR_RESOURCES:
            PlatSleep(ACCEPT_RETRY_MS);
            break;
        default:
            NoteAcceptFailure(PORT_NOTIFY, err);
            PlatSleep(ACCEPT_LASTING_MS);
            break;
        }
    }
}

PSocket AcceptNext(PSocket listenSocket, PAddr *peer, PAddr *local)
{
    WaitHandlerPlace(-1);
    return AcceptInPlace(listenSocket, peer, local);
}

static void HandlerMain(void *arg)
{
    HandlerStart hs = *(HandlerStart *)arg;
    free(arg);
    hs.handler(hs.arg);
    std::lock_guard<std::mutex> hold(HandlersLock);
    iHandlersRunning--;
    iHandlerThreads--;
    HandlerEnded.notify_all();
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
    PlatParkEndingThreads();
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
