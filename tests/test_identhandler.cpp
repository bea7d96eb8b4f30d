/* IdentHandler over real loopback connections, with the test build's short
   waits. */
#include "support/testsupport.h"
#include "../common/state.h"
#include "../common/textutil.h"
#include "../ident/identhandler.h"
#include "../ident/nodetable.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

class IdentHandlerTest : public ::testing::Test {
  protected:
    PSocket listener = PSOCKET_INVALID;
    int port = 0;
    void SetUp() override
    {
        InitNodeRec();
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
    EXPECT_EQ(CapturedLog(), "- IdentHandler match found on node <3>\r\n");
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
    EXPECT_EQ(CapturedLog(), "- IdentHandler no match found\r\n");
    ClearLog();
    EXPECT_EQ(Ask(" 6193, 23\r\n"), "0,6193 : ERROR : NO-USER \r\n");
    EXPECT_EQ(Ask("garbage\x01\xff"), "0,0 : ERROR : NO-USER \r\n");
}

TEST_F(IdentHandlerTest, FreedEntryIsNotReported)
{
    SetNodeRec(3, 194, 1234, "alice");
    ClearNodeRec(3);
    EXPECT_EQ(Ask("1234 , 194\r\n"), "1234,194 : ERROR : NO-USER \r\n");
}

TEST_F(IdentHandlerTest, EveryMatchingNodeAnswersInNodeOrder)
{
    SetNodeRec(40, 194, 1234, "second");
    SetNodeRec(7, 194, 1234, "first");
    SetNodeRec(255, 194, 1234, "DISABLED");
    EXPECT_EQ(Ask("1234,194\r\n"), "1234,194 : USERID : UNIX : first\r\n"
                                   "1234,194 : USERID : UNIX : second\r\n"
                                   "1234,194 : ERROR : HIDDEN-USER \r\n");
    EXPECT_EQ(CapturedLog(), "- IdentHandler match found on node <7>\r\n"
                             "- IdentHandler match found on node <40>\r\n"
                             "- IdentHandler match found on node <255>\r\n");
}

/* A USERID reply must carry a name; each match is answered by its own
   entry. */
TEST_F(IdentHandlerTest, EmptyNamesAnswerAsNobody)
{
    SetNodeRec(2, 194, 1234, "");
    SetNodeRec(5, 194, 1234, "\r\nroot");
    SetNodeRec(7, 194, 1234, "carol");
    EXPECT_EQ(Ask("1234 , 194\r\n"), "1234,194 : ERROR : NO-USER \r\n"
                                     "1234,194 : ERROR : NO-USER \r\n"
                                     "1234,194 : USERID : UNIX : carol\r\n");
    EXPECT_EQ(CapturedLog(), "- IdentHandler match found on node <2>\r\n"
                             "- IdentHandler match found on node <5>\r\n"
                             "- IdentHandler match found on node <7>\r\n");
}

TEST_F(IdentHandlerTest, SilentPeerIsCountedButNotAnswered)
{
    int before = iRcvdIdentRequests;
    PSocket c = ConnectLoopback(port);
    PlatClose(c);
    ServeOne(listener, IdentHandler);
    PSocket again = ConnectLoopback(port);
    ServeOne(listener, IdentHandler);
    /* This one stays open and silent until the idle time has passed. */
    EXPECT_EQ(ReadAll(again, 3000), "");
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
       the first number is the (wrapped) value of its first 127 digits. */
    int first = DecimalValue(std::string(127, '9').c_str());
    EXPECT_EQ(Ask(std::string(1024, '9')), std::to_string(first) + ",0 : ERROR : NO-USER \r\n");
}

TEST_F(IdentHandlerTest, ParallelQueriesAreAnsweredAlike)
{
    const int N = 16;
    for (int i = 0; i < N; i++)
        SetNodeRec(i, 5000 + i, 6000 + i, ("user" + std::to_string(i)).c_str());
    std::vector<PSocket> clients;
    for (int i = 0; i < N; i++) {
        clients.push_back(ConnectLoopback(port));
        ServeOne(listener, IdentHandler);
        std::string q = std::to_string(6000 + i) + " , " + std::to_string(5000 + i) + "\r\n";
        PlatSend(clients.back(), q.data(), (int)q.size());
    }
    for (int i = 0; i < N; i++) {
        EXPECT_EQ(ReadAll(clients[i], 5000),
                  std::to_string(6000 + i) + "," + std::to_string(5000 + i) +
                      " : USERID : UNIX : user" + std::to_string(i) + "\r\n");
        PlatClose(clients[i]);
    }
}
