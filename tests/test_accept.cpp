/* The notification port's cap on handler threads, over real loopback
   connections with handlers that hold their connection until let go; the
   cap on IDENT connections from the system's limits; and who gets a place
   among the IDENT connections, on records alone. */
#include "support/testsupport.h"
#include "../app/services.h"
#include "../common/accept.h"
#include "../common/state.h"
#include "../ident/identadmit.h"
#include "../ident/identlisten.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <stdio.h>
#include <mutex>
#include <thread>
#include <vector>

static std::mutex HoldLock;
static std::condition_variable HoldCond;
static int iLetGo = 0;
static std::atomic<int> iHolding(0);

/* A handler that holds its connection until the test lets it go. */
static void HoldHandler(void *connection)
{
    iHolding++;
    {
        std::unique_lock<std::mutex> hold(HoldLock);
        HoldCond.wait(hold, [] { return iLetGo > 0; });
        iLetGo--;
    }
    iHolding--;
    PlatClose(ArgSocket(connection));
}

static void LetGo(int n)
{
    {
        std::lock_guard<std::mutex> hold(HoldLock);
        iLetGo += n;
    }
    HoldCond.notify_all();
}

static bool WaitUntil(bool (*done)(int), int value, int ms)
{
    int64_t deadline = PlatTickMs() + ms;
    while (!done(value) && PlatTickMs() < deadline)
        PlatSleep(5);
    return done(value);
}

static bool Holding(int n)
{
    return iHolding == n;
}
static bool Running(int n)
{
    return HandlersRunning() == n;
}

class HandlerCaps : public ::testing::Test {
  protected:
    PSocket listener = PSOCKET_INVALID;
    int port = 0;
    int running = 0;
    std::vector<PSocket> peers;
    void SetUp() override
    {
        ClearLog();
        listener = ListenLoopback(&port);
        running = HandlersRunning();
    }
    void TearDown() override
    {
        /* Every handler wholly ended, its place given back, before the
           test's state goes. */
        LetGo(iHolding);
        EXPECT_TRUE(WaitUntil(Running, running, 10000)) << HandlersRunning();
        for (PSocket p : peers)
            PlatClose(p);
        PlatClose(listener);
        std::lock_guard<std::mutex> hold(HoldLock);
        iLetGo = 0;
    }
    /* Connects a peer and accepts it as the listeners do, in a place
       among the handlers. */
    PSocket Accept(void)
    {
        peers.push_back(ConnectLoopback(port));
        return AcceptNext(listener, nullptr, nullptr);
    }
};

/* At its cap the notification listener takes no connection until a
   handler ends; the waiting peer is then accepted, not dropped. */
TEST_F(HandlerCaps, ListenerWaitsAtTheCap)
{
    int free = NOTIFY_HANDLERS_MAX - running;
    for (int i = 0; i < free; i++)
        StartHandler(HoldHandler, Accept());
    ASSERT_TRUE(WaitUntil(Holding, free, 5000));

    peers.push_back(ConnectLoopback(port));
    std::atomic<PSocket> waiting(PSOCKET_INVALID);
    std::thread next([&] { waiting = AcceptNext(listener, nullptr, nullptr); });
    PlatSleep(300);
    EXPECT_EQ(waiting, PSOCKET_INVALID) << "accepted past the cap";
    LetGo(1);
    next.join();
    ASSERT_NE(waiting, PSOCKET_INVALID);
    StartHandler(HoldHandler, waiting);
    EXPECT_TRUE(WaitUntil(Holding, free, 5000));
    EXPECT_EQ(HandlersRunning(), NOTIFY_HANDLERS_MAX);
}

/* Stopped for the end of the process (in a child process: a stop is for
   good), no place is had any more and no handler starts. */
TEST_F(HandlerCaps, StopLeavesEveryThreadAtRest)
{
    auto stop = [this] {
        StartHandler(HoldHandler, Accept());
        const char *bad = WaitUntil(Holding, 1, 5000) ? nullptr : "the handler not running";
        LetGo(1);
        if (StopServices(5000) != 0)
            bad = "the handler not done";
        else if (TryTakeHandlerPlace() != 0)
            bad = "a place had after the stop";
        fprintf(stderr, "%s\n", bad != nullptr ? bad : "at rest");
        std::_Exit(bad != nullptr);
    };
    /* A child started afresh: one forked from a process with threads may
       not start its own under the thread sanitizer. */
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(stop(), ::testing::ExitedWithCode(0), "at rest");
}

/* The IDENT cap is the descriptors less those the program keeps, never
   below the floor, unbounded where nothing is named, lowered by a cap asked
   for but never raised by it. The figures are the README's. */
TEST(HandlerCapLimits, DescriptorsWithRoomToSpare)
{
    const struct {
        int descriptors, asked, cap;
    } cases[] = {
        {20000, 0, 19968}, {-1, 0, 0x7FFFFFFF}, {32, 0, 16},
        {532, 0, 500},     {20000, 300, 300},   {532, 900, 500},
    };
    for (const auto &c : cases) {
        const PlatLimits limits = {c.descriptors};
        InitHandlerCapsFrom(&limits, c.asked);
        EXPECT_EQ(IdentCap(), c.cap) << c.descriptors << " descriptors, " << c.asked << " asked";
    }
    InitHandlerCaps();
}

/* Records with made-up sockets: the policy never touches them. */
struct AdmitFixture : ::testing::Test {
    IdentAdmit a;
    std::vector<IdentConn *> conns;
    void TearDown() override
    {
        for (IdentConn *c : conns) {
            if (c->peer != nullptr)
                Release(c);
            delete c;
        }
    }
    IdentConn *Take(PAddr addr, IdentConnState state = CONN_WAITING)
    {
        IdentPeer *p = IdentPeerOf(&a, addr);
        if (bIdentOverAddrCap(p) || bIdentAdmitFull(&a, p))
            return nullptr;
        IdentConn *c = new IdentConn();
        conns.push_back(c);
        IdentAdmitTake(&a, p, c);
        IdentAdmitSetState(c, state);
        return c;
    }
    void Release(IdentConn *c)
    {
        IdentPeer *p = c->peer;
        IdentAdmitRelease(&a, c);
        IdentAdmitForget(&a, p);
    }
};

/* The busiest address gives up its oldest quiet connection first, then
   its oldest answered one; a connection whose query came is never picked;
   the reserve keeps places for addresses that hold few. */
TEST_F(AdmitFixture, BusiestAddressMakesRoomAndTheReserveHolds)
{
    IdentAdmitInit(&a, 64); /* a reserve of 8 */
    const PAddr busy = 0x0A000001u, other = 0x0A000002u, small = 0x0A000003u;
    IdentConn *first = Take(busy, CONN_QUERIED);
    IdentConn *answered = Take(busy, CONN_LAST_WAIT);
    IdentConn *quiet = Take(busy, CONN_SILENT);
    for (int i = 0; i < 50; i++)
        ASSERT_NE(Take(busy), nullptr);
    for (int i = 0; i < 3; i++)
        ASSERT_NE(Take(other), nullptr);
    /* 56 held: busy is at the 56 places that are not the reserve. */
    EXPECT_EQ(Take(busy), nullptr);
    EXPECT_EQ(IdentPickVictim(&a), quiet);
    /* An address holding few still gets in, up to the whole cap. */
    for (int i = 0; i < 3; i++)
        EXPECT_NE(Take(small), nullptr);
    EXPECT_NE(Take(other), nullptr) << "other holds 3, fewer than 4";
    EXPECT_EQ(Take(other), nullptr) << "other holds 4 now";

    /* Quiet ones go oldest first; then the answered; never the queried. */
    Release(quiet);
    EXPECT_EQ(IdentPickVictim(&a), conns[3]);
    for (IdentConn *c : conns)
        if (c->peer != nullptr && c != first && c != answered)
            Release(c);
    EXPECT_EQ(IdentPickVictim(&a), answered);
    Release(answered);
    EXPECT_EQ(IdentPickVictim(&a), nullptr);
    EXPECT_EQ(IdentHeldFrom(&a, busy), 1);
}

/* One address holds at most IDENT_HANDLERS_PER_ADDR; 255 queries at once
   from one chat server all find a place. */
TEST_F(AdmitFixture, PerAddressCap)
{
    IdentAdmitInit(&a, 1 << 20);
    const PAddr server = 0x0A000009u;
    for (int i = 0; i < 255; i++)
        ASSERT_NE(Take(server), nullptr) << i;
    for (int i = 255; i < IDENT_HANDLERS_PER_ADDR; i++)
        ASSERT_NE(Take(server), nullptr) << i;
    EXPECT_TRUE(bIdentOverAddrCap(IdentPeerOf(&a, server)));
    EXPECT_EQ(Take(server), nullptr);
    EXPECT_NE(Take(server + 1), nullptr);
    for (IdentConn *c : conns)
        Release(c);
    EXPECT_EQ(a.iHeld, 0);
    EXPECT_TRUE(a.peers.empty());
}
