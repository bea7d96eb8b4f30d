/* ident/identloop.cpp: the IDENT loop. */
#include "identloop.h"

#include "identadmit.h"
#include "identconn.h"
#include "identhandler.h"
#include "identquery.h"
#include "../common/accept.h"
#include "../common/state.h"
#include "../common/waits.h"

#include <atomic>
#include <limits.h>
#include <vector>

/* Connections accepted at one go before the timers are looked at again,
   so that a burst of newcomers never holds up the answers that are due. */
static const int ACCEPT_BATCH = 64;

/* Readable sockets taken from one wait. */
static const int READY_MAX = 64;

/* How often the counts owed to the log are looked at. */
static const int64_t SWEEP_US = 1000000;

struct IdentLoop {
    PlatWatch *watch;
    PSocket listener;
    int bListenerWatched;
    int64_t tListenerBackUs; /* a resting listener is watched again then; 0 */
    PSocket spare;           /* given up to take a connection at the limit */
    IdentAdmit admit;
    /* The timer lists: the wait before the query is read, the wait for a
       query that has not come, the wait after a reply. */
    ConnList waiting, silent, replying;
    std::vector<IdentConn *> closed; /* freed at the end of the round */
    std::atomic<int> bStopAsked;
    int bStopped;
    std::atomic<int> iHeld;
    int64_t tSweepUs;
};

IdentLoop *IdentLoopNew(int cap)
{
    PlatWatch *watch = PlatWatchNew();
    if (watch == nullptr)
        return nullptr;
    IdentLoop *loop = new IdentLoop;
    loop->watch = watch;
    loop->listener = PSOCKET_INVALID;
    loop->bListenerWatched = 0;
    loop->tListenerBackUs = 0;
    loop->spare = PSOCKET_INVALID;
    IdentAdmitInit(&loop->admit, cap);
    loop->waiting = loop->silent = loop->replying = ConnList{nullptr, nullptr, 0};
    loop->bStopAsked = 0;
    loop->bStopped = 0;
    loop->iHeld = 0;
    loop->tSweepUs = 0;
    return loop;
}

static void Forget(IdentLoop *loop)
{
    for (IdentConn *c : loop->closed)
        delete c;
    loop->closed.clear();
}

static void SetTimer(ConnList *list, IdentConn *c, int64_t dueUs)
{
    ConnListUnlink(c, LINK_TIMER);
    c->tDueUs = dueUs;
    ConnListPush(list, c, LINK_TIMER);
}

/* Every connection is closed here, whatever the reason. */
static void Close(IdentLoop *loop, IdentConn *c)
{
    if (c->state == CONN_SILENT)
        PlatWatchRemove(loop->watch, c->s);
    ConnListUnlink(c, LINK_TIMER);
    IdentPeer *p = c->peer;
    IdentAdmitRelease(&loop->admit, c);
    IdentAdmitForget(&loop->admit, p);
    PlatClose(c->s);
    c->state = CONN_CLOSED;
    loop->closed.push_back(c);
    loop->iHeld--;
}

/* Closes c unanswered to make room, and says so. */
static void Shed(IdentLoop *loop, IdentConn *c)
{
    IdentNoteShed(&loop->admit, c->peer->addr);
    Close(loop, c);
}

static void WaitAfterReply(IdentLoop *loop, IdentConn *c, int64_t nowUs)
{
    IdentAdmitSetState(c, bIdentLastAnswer(&c->ask) ? CONN_LAST_WAIT : CONN_REPLYING);
    SetTimer(&loop->replying, c, nowUs + (int64_t)iIdentWaitMs * 1000);
}

/* No query yet when its wait is over: c is watched for it until its idle
   time has passed. Where the set of watched sockets is bounded, the oldest
   silent connection makes room. */
static void GoSilent(IdentLoop *loop, IdentConn *c)
{
    int room = PlatWatchMax() - 1; /* the listener's place */
    while (loop->silent.iCount >= room && loop->silent.head != nullptr)
        Shed(loop, loop->silent.head);
    IdentAdmitSetState(c, CONN_SILENT);
    SetTimer(&loop->silent, c, c->tAcceptUs + ((int64_t)iIdentWaitMs + iIdleTimeoutMs) * 1000);
    if (PlatWatchAdd(loop->watch, c->s, c) != 0) {
        c->state = CONN_QUERIED; /* not in the set */
        Close(loop, c);
    }
}

/* One receive of up to IDENT_QUERY_MAX bytes, then the first reply; a
   peer that has closed or failed is let go unanswered. */
static void ReadQuery(IdentLoop *loop, IdentConn *c, int64_t nowUs)
{
    char query[IDENT_QUERY_MAX + 1];
    int n = PlatRecv(c->s, query, IDENT_QUERY_MAX, -1);
    if (n < 0 && PlatAcceptErrorKind(PlatLastError()) == PLAT_ACCEPT_ERR_NONE_PENDING) {
        if (c->state != CONN_SILENT)
            GoSilent(loop, c);
        return;
    }
    if (n <= 0) {
        Close(loop, c);
        return;
    }
    if (c->state == CONN_SILENT)
        PlatWatchRemove(loop->watch, c->s);
    c->state = CONN_QUERIED;
    query[n] = '\0';
    c->ask.tSinceUs = c->tAcceptUs;
    IdentFirstAnswer(c->s, query, &c->ask);
    WaitAfterReply(loop, c, nowUs);
}

/* A reply's wait is over: the next match's reply, or the close. */
static void NextReply(IdentLoop *loop, IdentConn *c, int64_t nowUs)
{
    if (IdentNextAnswer(c->s, &c->ask))
        WaitAfterReply(loop, c, nowUs);
    else
        Close(loop, c);
}

static void RunDue(IdentLoop *loop, int64_t nowUs)
{
    while (loop->waiting.head != nullptr && loop->waiting.head->tDueUs <= nowUs)
        ReadQuery(loop, loop->waiting.head, nowUs);
    while (loop->replying.head != nullptr && loop->replying.head->tDueUs <= nowUs)
        NextReply(loop, loop->replying.head, nowUs);
    while (loop->silent.head != nullptr && loop->silent.head->tDueUs <= nowUs)
        Close(loop, loop->silent.head);
}

/* Makes room for a newcomer from addr, as the policy says; 1 when it has
   a place. A connection picked whose query has come is never closed: it
   is marked so, or answered now if its wait is over. */
static int MakeRoom(IdentLoop *loop, PAddr addr, int64_t nowUs)
{
    for (;;) {
        IdentPeer *p = IdentPeerOf(&loop->admit, addr);
        if (!bIdentAdmitFull(&loop->admit, p))
            return 1;
        IdentConn *v = IdentPickVictim(&loop->admit);
        if (v == nullptr)
            return 0;
        if (v->state == CONN_WAITING && PlatBytesWaiting(v->s) != 0)
            IdentAdmitSetState(v, CONN_QUERIED);
        else if (v->state == CONN_SILENT && PlatBytesWaiting(v->s) != 0)
            ReadQuery(loop, v, nowUs);
        else
            Shed(loop, v);
    }
}

static void NewConnection(IdentLoop *loop, PSocket s, PAddr addr, int64_t nowUs)
{
    iRcvdIdentRequests++;
    IdentPeer *p = IdentPeerOf(&loop->admit, addr);
    if (bIdentOverAddrCap(p)) {
        PlatClose(s);
        IdentNoteOverAddrCap(addr);
        return;
    }
    if (!MakeRoom(loop, addr, nowUs)) {
        PlatClose(s);
        IdentNoteShed(&loop->admit, addr);
        IdentAdmitForget(&loop->admit, IdentPeerOf(&loop->admit, addr));
        return;
    }
    PlatSetNonBlocking(s);
    IdentConn *c = new IdentConn();
    c->s = s;
    c->tAcceptUs = nowUs;
    IdentAdmitTake(&loop->admit, IdentPeerOf(&loop->admit, addr), c);
    SetTimer(&loop->waiting, c, nowUs + (int64_t)iIdentWaitMs * 1000);
    loop->iHeld++;
}

static void RestListener(IdentLoop *loop, int ms)
{
    if (loop->bListenerWatched)
        PlatWatchRemove(loop->watch, loop->listener);
    loop->bListenerWatched = 0;
    loop->tListenerBackUs = PlatTickUs() + (int64_t)ms * 1000;
}

/* Out of descriptors, the listener would stay readable and the loop spin:
   the spare descriptor is given up to take the next connection, which is
   closed at once, unanswered. 1 when one was. */
static int CloseWithSpare(IdentLoop *loop)
{
    if (loop->spare == PSOCKET_INVALID)
        loop->spare = PlatTcpSocket();
    if (loop->spare == PSOCKET_INVALID)
        return 0;
    PlatClose(loop->spare);
    PSocket s = PlatAccept(loop->listener, nullptr, nullptr);
    if (s != PSOCKET_INVALID) {
        iRcvdIdentRequests++;
        PlatClose(s);
    }
    loop->spare = PlatTcpSocket();
    return s != PSOCKET_INVALID;
}

static void AcceptSome(IdentLoop *loop)
{
    int accepted = 0;
    for (int k = 0; k < ACCEPT_BATCH; k++) {
        PAddr addr = 0;
        PSocket s = PlatAccept(loop->listener, &addr, nullptr);
        if (s != PSOCKET_INVALID) {
            NewConnection(loop, s, addr, PlatTickUs());
            accepted++;
            continue;
        }
        int err = PlatLastError();
        int kind = PlatAcceptErrorKind(err);
        if (kind == PLAT_ACCEPT_ERR_NONE_PENDING)
            break;
        if (kind == PLAT_ACCEPT_ERR_CONNECTION)
            continue;
        if (kind == PLAT_ACCEPT_ERR_RESOURCES) {
            if (!CloseWithSpare(loop)) {
                RestListener(loop, ACCEPT_RETRY_MS);
                break;
            }
            continue;
        }
        NoteAcceptFailure(PORT_IDENT, err);
        RestListener(loop, ACCEPT_LASTING_MS);
        break;
    }
    if (accepted > 0)
        SweepAcceptLines();
}

static void StopNow(IdentLoop *loop)
{
    loop->bStopped = 1;
    if (loop->bListenerWatched)
        PlatWatchRemove(loop->watch, loop->listener);
    loop->bListenerWatched = 0;
    loop->tListenerBackUs = 0;
    while (loop->waiting.head != nullptr)
        Close(loop, loop->waiting.head);
    while (loop->silent.head != nullptr)
        Close(loop, loop->silent.head);
}

static int64_t Earliest(int64_t a, int64_t b)
{
    return a != 0 && (b == 0 || a < b) ? a : b;
}

/* The loop's rounds until it holds nothing, when bOnce; else for good. */
static void Serve(IdentLoop *loop, int bOnce)
{
    void *ready[READY_MAX];
    for (;;) {
        int64_t now = PlatTickUs();
        RunDue(loop, now);
        if (loop->bStopAsked && !loop->bStopped)
            StopNow(loop);
        if (loop->tListenerBackUs != 0 && now >= loop->tListenerBackUs && !loop->bStopped) {
            loop->tListenerBackUs = 0;
            loop->bListenerWatched =
                PlatWatchAdd(loop->watch, loop->listener, &loop->listener) == 0;
        }
        if (now - loop->tSweepUs >= SWEEP_US) {
            loop->tSweepUs = now;
            IdentAdmitSweep();
            IdentAnswersSweep();
        }
        Forget(loop);
        if (bOnce && loop->iHeld == 0)
            return;

        int64_t next = loop->tListenerBackUs;
        for (ConnList *list : {&loop->waiting, &loop->replying, &loop->silent})
            if (list->head != nullptr)
                next = Earliest(list->head->tDueUs, next);
        int ms = -1;
        if (next != 0) {
            int64_t left = next - PlatTickUs();
            ms = left <= 0 ? 0 : left > INT_MAX / 2 ? INT_MAX / 2 : (int)((left + 999) / 1000);
        }
        int n = PlatWatchWait(loop->watch, ms, ready, READY_MAX);
        if (n < 0) {
            PlatSleep(ACCEPT_RETRY_MS);
            continue;
        }
        now = PlatTickUs();
        for (int i = 0; i < n; i++) {
            if (ready[i] == &loop->listener) {
                if (loop->bListenerWatched)
                    AcceptSome(loop);
                continue;
            }
            IdentConn *c = (IdentConn *)ready[i];
            if (c->state == CONN_SILENT)
                ReadQuery(loop, c, now);
        }
    }
}

void IdentLoopRun(IdentLoop *loop, PSocket listenSocket)
{
    loop->listener = listenSocket;
    PlatSetNonBlocking(listenSocket);
    loop->spare = PlatTcpSocket();
    loop->bListenerWatched = PlatWatchAdd(loop->watch, listenSocket, &loop->listener) == 0;
    Serve(loop, 0);
}

void IdentServeOne(PSocket s)
{
    IdentLoop *loop = IdentLoopNew(INT_MAX);
    if (loop == nullptr) {
        iRcvdIdentRequests++;
        PlatClose(s);
        return;
    }
    PAddr peer = 0, local = 0;
    PlatSocketAddrs(s, &peer, &local);
    NewConnection(loop, s, peer, PlatTickUs());
    Serve(loop, 1);
    PlatWatchFree(loop->watch);
    delete loop;
}

void IdentLoopStop(IdentLoop *loop)
{
    loop->bStopAsked = 1;
    PlatWatchWake(loop->watch);
}

int IdentLoopHeld(IdentLoop *loop)
{
    return loop->iHeld;
}

void IdentHandler(void *connection)
{
    IdentServeOne(ArgSocket(connection));
}
