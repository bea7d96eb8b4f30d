/* ClientHandler over real loopback connections: records change the node
   table and the log; the peer check keeps other hosts out. */
#include "support/testsupport.h"
#include "../common/state.h"
#include "../ident/nodetable.h"
#include "../notify/clientrec.h"
#include "../notify/clientservice.h"
#include "../notify/refusals.h"

#include <gtest/gtest.h>
#include <string.h>
#include <string>

class ClientHandlerTest : public ::testing::Test {
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
    /* Sends bytes in pieces with a pause between them, then waits until
       the handler has closed the connection. */
    void Send(const std::string &bytes, size_t piece = 0, int pauseMs = 0)
    {
        PSocket c = ConnectLoopback(port);
        ServeOne(listener, ClientHandler);
        if (piece == 0)
            piece = bytes.size() ? bytes.size() : 1;
        for (size_t at = 0; at < bytes.size(); at += piece) {
            PlatSend(c, bytes.data() + at, (int)std::min(piece, bytes.size() - at));
            if (pauseMs)
                PlatSleep(pauseMs);
        }
        EXPECT_EQ(ReadAll(c, 3000), "");
        PlatClose(c);
    }
};

static std::string NameFor(int local, int remote)
{
    char name[NODE_NAME_SIZE];
    return FindNodeRec(local, remote, 0, name) == -1 ? "<none>" : name;
}

TEST_F(ClientHandlerTest, ConnectThenQuit)
{
    SetNodeRec(4, 1, 2, "other");
    Send(MakeConnect("3", "194", "1234", "alice"));
    EXPECT_EQ(NameFor(1234, 194), "alice");
    EXPECT_EQ(CapturedLog(), "- ClientHandler Connect received on node  <3>\r\n");
    ClearLog();
    Send(MakeQuit("3"));
    EXPECT_EQ(NameFor(1234, 194), "<none>");
    EXPECT_EQ(NameFor(2, 1), "other");
    EXPECT_EQ(CapturedLog(), "- ClientHandler Quit received on node <3>\r\n");
}

TEST_F(ClientHandlerTest, RecordInPiecesKeepsItsName)
{
    Send(MakeConnect("9", "6667", "40000", "slowpoke"), 7, 10);
    EXPECT_EQ(NameFor(40000, 6667), "slowpoke");
}

TEST_F(ClientHandlerTest, UnknownKindsChangeNothing)
{
    Send("c" + MakeConnect("3", "194", "1234", "alice").substr(1));
    Send("hello");
    EXPECT_EQ(NameFor(1234, 194), "<none>");
    EXPECT_EQ(CapturedLog(), "- ClientHabdler Unknown client message\r\n"
                             "- ClientHabdler Unknown client message\r\n");
}

TEST_F(ClientHandlerTest, NodesOutsideTheTableAreIgnoredAndSaidSo)
{
    Send(MakeConnect("256", "194", "1234", "mallory"));
    Send(MakeConnect("-1", "194", "1234", "mallory"));
    Send(MakeQuit("99999"));
    EXPECT_EQ(NameFor(1234, 194), "<none>");
    std::string log = CapturedLog();
    EXPECT_NE(log.find("- ClientHandler Connect received on node  <256>\r\n"
                       "- ClientHandler node <256> is outside the node table, ignored\r\n"),
              std::string::npos);
    EXPECT_NE(log.find("- ClientHandler Quit received on node <99999>\r\n"
                       "- ClientHandler node <99999> is outside the node table, ignored\r\n"),
              std::string::npos);
}

TEST_F(ClientHandlerTest, SilentPeersAreCountedAndClosedQuietly)
{
    int before = iRcvdPalaverConnects;
    Send("");
    EXPECT_EQ(iRcvdPalaverConnects - before, 1);
    EXPECT_EQ(CapturedLog(), "");
}

TEST(ClientPeer, OnlyThisHostMaySendRecords)
{
    EXPECT_EQ(bLocalPeer(0x7F000001u, 0x7F000001u), 1);
    EXPECT_EQ(bLocalPeer(0x7F0000FEu, 0x0A000001u), 1);
    EXPECT_EQ(bLocalPeer(0x0A000002u, 0x0A000002u), 1);
    EXPECT_EQ(bLocalPeer(0x0A000003u, 0x0A000002u), 0);
    EXPECT_EQ(bLocalPeer(0xC0A80001u, 0x7F000001u), 0);
}

TEST(ClientPort, SystemPicksAPort)
{
    int unused;
    PlatClose(ListenLoopback(&unused)); /* starts the socket library */
    int port = OpenClientPort();
    EXPECT_GT(port, 0);
    EXPECT_LT(port, 65536);
}

TEST(ClientRefusals, FirstLineThenAtMostOneCountAMinutePerAddress)
{
    ClearRefusals();
    const PAddr other = 0xC0000202u, third = 0xC0000203u;
    char line[256];
    ASSERT_EQ(RefusalLine(other, 1000, line, sizeof(line)), 1);
    EXPECT_STREQ(line, "- ClientListen refused a connection from <192.0.2.2>: not this host\r\n");
    for (int i = 1; i <= 500; i++)
        EXPECT_EQ(RefusalLine(other, 1000 + i * 100, line, sizeof(line)), 0) << i;
    /* Another address is an address of its own. */
    ASSERT_EQ(RefusalLine(third, 2000, line, sizeof(line)), 1);
    EXPECT_STREQ(line, "- ClientListen refused a connection from <192.0.2.3>: not this host\r\n");
    ASSERT_EQ(RefusalLine(other, 61000, line, sizeof(line)), 1);
    EXPECT_STREQ(line, "- ClientListen refused <501> connections from <192.0.2.2> in the last 60 s: "
                       "not this host\r\n");
    EXPECT_EQ(RefusalLine(other, 61001, line, sizeof(line)), 0);

    /* Addresses beyond the table push out the one logged longest ago; its
       count is not lost. */
    EXPECT_EQ(RefusalLine(third, 30000, line, sizeof(line)), 0);
    for (PAddr a = 1; a <= REFUSAL_ADDRESSES - 2; a++)
        ASSERT_EQ(RefusalLine(0x0A000000u + a, 62000, line, sizeof(line)), 1);
    ASSERT_EQ(RefusalLine(0x0B000001u, 63000, line, sizeof(line)), 1);
    EXPECT_STREQ(line, "- ClientListen refused <1> connections from <192.0.2.3> in the last 61 s: "
                       "not this host\r\n"
                       "- ClientListen refused a connection from <11.0.0.1>: not this host\r\n");
    ClearRefusals();
}
