/* The shipped waits: the reply comes about 2 s after the connection, the
   close about 2 s after the reply. */
#include "support/testsupport.h"
#include "../ident/identhandler.h"
#include "../ident/nodetable.h"

#include <gtest/gtest.h>

TEST(IdentWait, ReplyAfterTwoSecondsCloseAfterFour)
{
    InitNodeRec();
    SetNodeRec(3, 194, 1234, "alice");
    int port;
    PSocket listener = ListenLoopback(&port);
    PSocket c = ConnectLoopback(port);
    int64_t start = PlatTickMs();
    ServeOne(listener, IdentHandler);
    PlatSend(c, "1234 , 194\r\n", 12);

    char buf[256];
    int n = PlatRecv(c, buf, sizeof(buf), 10000);
    int64_t replied = PlatTickMs() - start;
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buf, (size_t)n), "1234,194 : USERID : UNIX : alice\r\n");
    EXPECT_EQ(PlatRecv(c, buf, sizeof(buf), 10000), 0);
    int64_t closed = PlatTickMs() - start;

    EXPECT_GE(replied, 1950);
    EXPECT_LT(replied, 2800);
    EXPECT_GE(closed, 3950);
    EXPECT_LT(closed, 5000);
    PlatClose(c);
    PlatClose(listener);
}
