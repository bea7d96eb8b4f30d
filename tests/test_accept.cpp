/* The caps on handlers (per peer address on the IDENT port, and for all
   handlers together), over real loopback connections with handlers that
   hold their connection until let go. */
#include "support/testsupport.h"
#include "../app/services.h"
#include "../common/accept.h"
#include "../common/state.h"
#include "../ident/identadmit.h"

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

/* One address with IDENT_HANDLERS_PER_ADDR handlers running gets its next
   connections closed at once, counted, and logged once; another address is
   still served, and every place is given back in the end. */
TEST_F(HandlerCaps, OneAddressIsClosedPastItsCap)
{
    /* The global cap must not be what stops them (it is lower under
       32-bit Wine, whose stacks are large). */
    const PlatLimits roomy = {-1, -1, 1 << 20};
    InitHandlerCapsFrom(&roomy);
    const PAddr busy = 0x0A000001u, other = 0x0A000002u;
    for (int i = 0; i < IDENT_HANDLERS_PER_ADDR; i++)
        AdmitIdentTo(HoldHandler, Accept(), busy);
    ASSERT_TRUE(WaitUntil(Holding, IDENT_HANDLERS_PER_ADDR, 20000)) << iHolding;
    EXPECT_EQ(IdentHandlersFrom(busy), IDENT_HANDLERS_PER_ADDR);

    int counted = iRcvdIdentRequests;
    for (int i = 0; i < 3; i++) {
        AdmitIdentTo(HoldHandler, Accept(), busy);
        char c;
        EXPECT_EQ(PlatRecv(peers.back(), &c, 1, 5000), 0) << "not closed at once";
    }
    EXPECT_EQ(iRcvdIdentRequests - counted, 3);
    EXPECT_EQ(CapturedLog(),
              "- IdentListen too many connections from <10.0.0.1>: <1> closed unanswered\r\n");
    EXPECT_EQ(IdentHandlersFrom(busy), IDENT_HANDLERS_PER_ADDR);
    EXPECT_EQ(HandlersRunning(), running + IDENT_HANDLERS_PER_ADDR);

    AdmitIdentTo(HoldHandler, Accept(), other);
    EXPECT_TRUE(WaitUntil(Holding, IDENT_HANDLERS_PER_ADDR + 1, 5000));
    EXPECT_EQ(IdentHandlersFrom(other), 1);

    LetGo(IDENT_HANDLERS_PER_ADDR + 1);
    EXPECT_TRUE(WaitUntil(Running, running, 10000)) << HandlersRunning();
    EXPECT_EQ(IdentHandlersFrom(busy), 0);
    EXPECT_EQ(IdentHandlersFrom(other), 0);
    InitHandlerCaps();
}

/* At the global cap the listener takes no connection until a handler
   ends; the waiting peer is then accepted, not dropped. */
TEST_F(HandlerCaps, ListenerWaitsAtTheGlobalCap)
{
    const PlatLimits limits = {DESCRIPTORS_KEPT + running + HANDLERS_MIN, -1, -1};
    InitHandlerCapsFrom(&limits);
    ASSERT_EQ(HandlerCap(), running + HANDLERS_MIN);
    for (int i = 0; i < HANDLERS_MIN; i++)
        StartHandler(HoldHandler, Accept());
    ASSERT_TRUE(WaitUntil(Holding, HANDLERS_MIN, 5000));

    peers.push_back(ConnectLoopback(port));
    std::atomic<PSocket> waiting(PSOCKET_INVALID);
    std::thread next([&] { waiting = AcceptNext(listener, nullptr, nullptr); });
    PlatSleep(300);
    EXPECT_EQ(waiting, PSOCKET_INVALID) << "accepted past the cap";
    LetGo(1);
    next.join();
    ASSERT_NE(waiting, PSOCKET_INVALID);
    StartHandler(HoldHandler, waiting);
    EXPECT_TRUE(WaitUntil(Holding, HANDLERS_MIN, 5000));
    EXPECT_EQ(HandlersRunning(), running + HANDLERS_MIN);
    InitHandlerCaps();
}

/* A handler waiting for its query, as IdentHandler does first. */
static void PausingHandler(void *connection)
{
    iHolding++;
    IdentPause(60000);
    PlatClose(ArgSocket(connection));
}

/* Stopped for the end of the process (in a child process: a stop is for
   good), a connection still waiting for its query is closed at once, its
   handler is done, and no place is had any more. */
TEST_F(HandlerCaps, StopLeavesEveryThreadAtRest)
{
    auto stop = [this] {
        AdmitIdentTo(PausingHandler, Accept(), 0x0A000003u);
        const char *bad = WaitUntil(Holding, 1, 5000) ? nullptr : "the handler not running";
        int64_t t0 = PlatTickMs();
        char c;
        if (StopServices(10000) != 0 || PlatTickMs() - t0 > 5000)
            bad = "the handler not done at once";
        else if (PlatRecv(peers[0], &c, 1, 1000) != 0)
            bad = "the waiting connection not closed";
        else if (TryTakeHandlerPlace(PORT_NOTIFY) != 0)
            bad = "a place had after the stop";
        fprintf(stderr, "%s\n", bad != nullptr ? bad : "at rest");
        std::_Exit(bad != nullptr);
    };
    /* A child started afresh: one forked from a process with threads may
       not start its own under the thread sanitizer. */
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(stop(), ::testing::ExitedWithCode(0), "at rest");
}

/* The cap follows the tightest limit: the descriptors less those the
   program keeps, three quarters of the threads the host shares, all of the
   process's own; never below the floor, never overflowing on huge limits,
   unbounded where nothing is named. The figures are the README's. */
TEST(HandlerCapLimits, TightestLimitWithRoomToSpare)
{
    const struct {
        PlatLimits limits;
        int cap;
    } cases[] = {
        {{20000, 32768, -1}, 19936}, {{20000, 8000, -1}, 6000},
        {{-1, 32768, -1}, 24576},    {{20000, 32768, 1024}, 1024},
        {{-1, -1, 16384}, 16384},    {{-1, -1, -1}, 0x7FFFFFFF},
        {{64, -1, -1}, 16},          {{0x7FFFFFFF, 0x7FFFFFFF, -1}, 1610612735},
    };
    for (const auto &c : cases) {
        InitHandlerCapsFrom(&c.limits);
        EXPECT_EQ(HandlerCap(), c.cap)
            << c.limits.descriptors << " descriptors, " << c.limits.hostThreads << " host threads, "
            << c.limits.ownThreads << " own";
    }
    InitHandlerCaps();
}
