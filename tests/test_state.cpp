/* The state the service threads share besides the node table: the ready
   flag that holds the IDENT listener back, and the connection counters.
   These run under ThreadSanitizer too, which checks the orderings. */
#include "support/testsupport.h"
#include "../common/state.h"
#include "../notify/clientservice.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

/* Written before the flag is set, read by the waiters after it: whatever
   the link did before registering must be visible once the flag is seen. */
static int iDoneBeforeFlag = 0;

TEST(ReadyFlag, WaitersBlockUntilSetThenSeeWhatCameBefore)
{
    ClearWINSStarted();
    EXPECT_EQ(bWINSStarted(), 0);
    std::atomic<int> iWoken(0);
    std::vector<int> seen(4, -1);
    std::vector<std::thread> waiters;
    for (int w = 0; w < 4; w++)
        waiters.emplace_back([&, w] {
            WaitWINSStarted();
            seen[w] = iDoneBeforeFlag;
            iWoken++;
        });
    PlatSleep(100);
    EXPECT_EQ(iWoken.load(), 0) << "a waiter passed before the flag was set";
    iDoneBeforeFlag = 42;
    SetWINSStarted();
    for (auto &t : waiters)
        t.join();
    EXPECT_EQ(seen, std::vector<int>(4, 42));
    EXPECT_EQ(bWINSStarted(), 1);
    /* Once set, a late waiter does not block: it is through long before a
       waiter that blocks for good would be given up on. */
    static std::atomic<bool> bLateThrough(false);
    std::thread([] {
        WaitWINSStarted();
        bLateThrough = true;
    }).detach();
    int64_t deadline = PlatTickMs() + 10000;
    while (!bLateThrough && PlatTickMs() < deadline)
        PlatSleep(5);
    EXPECT_TRUE(bLateThrough) << "a late waiter blocked";
}

TEST(Counters, HandlersOnManyThreadsCountEveryConnection)
{
    const int CONNECTIONS = 64;
    int port = 0;
    PSocket listener = ListenLoopback(&port);
    ClearLog();
    int before = iRcvdPalaverConnects;
    /* Peers that close at once: each handler counts, reads nothing and
       ends, many of them at the same time. */
    for (int i = 0; i < CONNECTIONS; i++) {
        PSocket c = ConnectLoopback(port);
        ServeOne(listener, ClientHandler);
        PlatClose(c);
    }
    int64_t deadline = PlatTickMs() + 5000;
    while (iRcvdPalaverConnects - before < CONNECTIONS && PlatTickMs() < deadline)
        PlatSleep(10);
    EXPECT_EQ(iRcvdPalaverConnects - before, CONNECTIONS);
    EXPECT_EQ(CapturedLog().find("ClientHandler"), std::string::npos);
    PlatClose(listener);
}
