/* The shipped waits: the reply comes about 2 s after the connection, the
   close about 2 s after the reply, and queries arriving together wait side
   by side. The lower bounds are the waits themselves; the upper ones leave
   room for a busy machine. */
#include "support/testsupport.h"
#include "../ident/identhandler.h"
#include "../ident/nodetable.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

/* The pairs here are no connections: answered from the table alone. */
TEST(IdentWait, ReplyAfterTwoSecondsCloseAfterFour)
{
    InitIdentAnswers(1);
    InitNodeRec();
    SetNodeRec(3, 194, 1234, "alice");
    int port;
    PSocket listener = ListenLoopback(&port);
    PSocket c = ConnectLoopback(port);
    int64_t start = PlatTickMs();
    ServeOne(listener, IdentHandler);
    PlatSend(c, "1234 , 194\r\n", 12);

    char buf[256];
    int n = PlatRecv(c, buf, sizeof(buf), 20000);
    int64_t replied = PlatTickMs() - start;
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buf, (size_t)n), "1234,194 : USERID : UNIX : alice\r\n");
    EXPECT_EQ(PlatRecv(c, buf, sizeof(buf), 20000), 0);
    int64_t closed = PlatTickMs() - start;

    EXPECT_GE(replied, 1950);
    EXPECT_LT(replied, 6000);
    EXPECT_GE(closed, 3950);
    EXPECT_LT(closed, 10000);
    EXPECT_GE(closed - replied, 1950);
    PlatClose(c);
    PlatClose(listener);
}

/* Handled one after another, the queries would take 4 s each, 64 s in all;
   side by side they are all answered and closed in about 4 s. */
TEST(IdentWait, ParallelQueriesAreAnsweredAlike)
{
    const int N = 16;
    const int BOUND_MS = 16000;
    InitIdentAnswers(1);
    InitNodeRec();
    for (int i = 0; i < N; i++)
        SetNodeRec(i, 5000 + i, 6000 + i, ("user" + std::to_string(i)).c_str());
    int port;
    PSocket listener = ListenLoopback(&port);
    std::vector<PSocket> clients;
    int64_t start = PlatTickMs();
    for (int i = 0; i < N; i++) {
        clients.push_back(ConnectLoopback(port));
        ServeOne(listener, IdentHandler);
        std::string q = std::to_string(6000 + i) + " , " + std::to_string(5000 + i) + "\r\n";
        PlatSend(clients.back(), q.data(), (int)q.size());
    }
    for (int i = 0; i < N; i++) {
        int left = (int)(start + BOUND_MS - PlatTickMs());
        int closedAfterMs = -1;
        EXPECT_EQ(ReadAll(clients[i], left > 0 ? left : 1, &closedAfterMs),
                  std::to_string(6000 + i) + "," + std::to_string(5000 + i) +
                      " : USERID : UNIX : user" + std::to_string(i) + "\r\n")
            << "query " << i;
        EXPECT_NE(closedAfterMs, -1) << "query " << i << " not closed within " << BOUND_MS << " ms";
        PlatClose(clients[i]);
    }
    EXPECT_GE(PlatTickMs() - start, 3950);
    PlatClose(listener);
    InitNodeRec();
}
