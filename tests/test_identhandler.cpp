/* IdentHandler over real loopback connections, with the test build's short
   waits. The pairs registered are no connections, so the handler answers
   from the table alone (--table-only), but where a test says otherwise. */
#include "support/testsupport.h"
#include "../common/state.h"
#include "../common/waits.h"
#include "../ident/identhandler.h"
#include "../ident/nodetable.h"

#include <gtest/gtest.h>
#include <string>

class IdentHandlerTest : public ::testing::Test {
  protected:
    PSocket listener = PSOCKET_INVALID;
    int port = 0;
    void SetUp() override
    {
        InitNodeRec();
        InitIdentAnswers(1);
        ClearLog();
        listener = ListenLoopback(&port);
    }
    void TearDown() override
    {
        PlatClose(listener);
        InitNodeRec();
    }
    /* Sends one query and returns everything the handler sent back before
       it closed the connection. */
    std::string Ask(const std::string &query)
    {
        PSocket c = ConnectLoopback(port);
        ServeOne(listener, IdentHandler);
        if (!query.empty())
            PlatSend(c, query.data(), (int)query.size());
        std::string got = ReadAll(c, 5000);
        PlatClose(c);
        return got;
    }
};

TEST_F(IdentHandlerTest, RegisteredUserIsNamed)
{
    SetNodeRec(3, 194, 1234, "alice");
    EXPECT_EQ(Ask("1234 , 194\r\n"), "1234,194 : USERID : UNIX : alice\r\n");
    EXPECT_EQ(CapturedLog(), "- IdentHandler match found on node <3>\r\n"
                             "- IdentHandler answered <127.0.0.1> about <1234,194>: node <3> name "
                             "<alice> USERID <alice>\r\n");
}

TEST_F(IdentHandlerTest, DisabledNameIsHiddenButOnlyInCapitals)
{
    SetNodeRec(3, 194, 1234, "DISABLED");
    EXPECT_EQ(Ask("1234 , 194\r\n"), "1234,194 : ERROR : HIDDEN-USER \r\n");
    SetNodeRec(3, 194, 1234, "disabled");
    EXPECT_EQ(Ask("1234 , 194\r\n"), "1234,194 : USERID : UNIX : disabled\r\n");
}

TEST_F(IdentHandlerTest, UnknownPairGetsNoUser)
{
    SetNodeRec(3, 194, 1234, "alice");
    EXPECT_EQ(Ask("194 , 1234\r\n"), "194,1234 : ERROR : NO-USER \r\n");
    /* The asker's first unmatched query in a while may add a line that
       says they are counted; within the minute they are only counted. */
    EXPECT_EQ(CapturedLog().substr(0, 31), "- IdentHandler no match found\r\n");
    ClearLog();
    EXPECT_EQ(Ask(" 6193, 23\r\n"), "0,6193 : ERROR : NO-USER \r\n");
    EXPECT_EQ(Ask("garbage\x01\xff"), "0,0 : ERROR : NO-USER \r\n");
    EXPECT_EQ(CapturedLog(), "- IdentHandler no match found\r\n"
                             "- IdentHandler no match found\r\n");
}

TEST_F(IdentHandlerTest, FreedEntryIsNotReported)
{
    SetNodeRec(3, 194, 1234, "alice");
    ClearNodeRec(3);
    EXPECT_EQ(Ask("1234 , 194\r\n"), "1234,194 : ERROR : NO-USER \r\n");
}

/* Unless answering from the table alone, a user is named only to the
   server at the other end of that user's open connection; once it has
   closed, the pair answers as one nobody registered. */
TEST_F(IdentHandlerTest, NamedOnlyForAnOpenConnection)
{
    InitIdentAnswers(0);
    int serverPort;
    PSocket server = ListenLoopback(&serverPort);
    PSocket user = ConnectLoopback(serverPort);
    PSocket serverSide = PlatAccept(server, nullptr, nullptr);
    int userPort = PlatLocalPort(user);
    SetNodeRec(3, serverPort, userPort, "alice");
    /* Windows copies its table of connections at most once per 100 ms: a
       query read 2 s after its connection opened finds a copy taken since,
       but the test build reads at once. */
    PlatSleep(200);
    std::string pair = std::to_string(userPort) + "," + std::to_string(serverPort);
    EXPECT_EQ(Ask(pair + "\r\n"), pair + " : USERID : UNIX : alice\r\n");
    PlatClose(user);
    PlatClose(serverSide);
    PlatClose(server);
    /* Time for the close to reach the system's table of connections. */
    PlatSleep(200);
    ClearLog();
    EXPECT_EQ(Ask(pair + "\r\n"), pair + " : ERROR : NO-USER \r\n");
    EXPECT_EQ(CapturedLog(), "- IdentHandler match found on node <3>\r\n"
                             "- IdentHandler no open connection for node <3> from <127.0.0.1>\r\n"
                             "- IdentHandler answered <127.0.0.1> about <" +
                                 pair +
                                 ">: node <3> name <alice> NO-USER (no open connection)\r\n");
}

/* A USERID reply must carry a name. */
TEST_F(IdentHandlerTest, EmptyNamesAnswerAsNobody)
{
    SetNodeRec(2, 194, 1234, "");
    EXPECT_EQ(Ask("1234 , 194\r\n"), "1234,194 : ERROR : NO-USER \r\n");
    SetNodeRec(5, 194, 1234, "\r\nroot");
    EXPECT_EQ(Ask("1234 , 194\r\n"), "1234,194 : ERROR : NO-USER \r\n");
    EXPECT_EQ(
        CapturedLog(),
        "- IdentHandler match found on node <2>\r\n"
        "- IdentHandler answered <127.0.0.1> about <1234,194>: node <2> name <> NO-USER (no "
        "name that can be sent)\r\n"
        "- IdentHandler match found on node <5>\r\n"
        "- IdentHandler answered <127.0.0.1> about <1234,194>: node <5> name <\\x0d\\x0aroot> "
        "NO-USER (no name that can be sent)\r\n");
}

TEST_F(IdentHandlerTest, SilentPeerIsCountedButNotAnswered)
{
    int before = iRcvdIdentRequests;
    PSocket c = ConnectLoopback(port);
    PlatClose(c);
    ServeOne(listener, IdentHandler);
    PSocket again = ConnectLoopback(port);
    ServeOne(listener, IdentHandler);
    /* This one stays open and silent: it is dropped once the idle time has
       passed, not before, and not left open. */
    int closedAfterMs = -1;
    EXPECT_EQ(ReadAll(again, iIdleTimeoutMs + 4000, &closedAfterMs), "");
    EXPECT_NE(closedAfterMs, -1) << "the silent peer was never dropped";
    EXPECT_GE(closedAfterMs, iIdleTimeoutMs * 9 / 10) << "dropped before the idle time";
    PlatClose(again);
    PlatSleep(100);
    EXPECT_EQ(iRcvdIdentRequests - before, 2);
    EXPECT_EQ(CapturedLog(), "");
}

TEST_F(IdentHandlerTest, OnlyOneReceiveOfAtMost1024Bytes)
{
    SetNodeRec(1, 2, 1, "x");
    std::string big = "1 , 2" + std::string(2000, ' ');
    EXPECT_EQ(Ask(big), "1,2 : USERID : UNIX : x\r\n");
    /* 1024 digits and no terminator: read within the buffer, no blank, so
       the first number is the value of its first 127 digits wrapped to 32
       bits. 2^32 divides 10^32, so 127 nines give -1, while reading past
       them would give the value of the last 32 digits. */
    EXPECT_EQ(Ask(std::string(127, '9') + std::string(897, '1')), "-1,0 : ERROR : NO-USER \r\n");
}
