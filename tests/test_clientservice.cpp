/* ClientHandler over real loopback connections: records change the node
   table and the log; the peer check keeps other hosts out. */
#include "support/testsupport.h"
#include "../common/accept.h"
#include "../common/state.h"
#include "../ident/nodetable.h"
#include "../notify/clientrec.h"
#include "../notify/clientservice.h"

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

/* A sender may end a record after its last text and keep the connection
   open; the record must count at once, not when the idle time (1 s in this
   build) has passed. */
TEST_F(ClientHandlerTest, ShortRecordsCountWhileTheSenderWaits)
{
    const std::string connect = MakeConnect("3", "194", "1234", "alice");
    const std::string quit = MakeQuit("3");
    const struct {
        std::string bytes;
        const char *name;
    } cases[] = {
        {connect.substr(0, 21 + 6), "alice"}, /* up to the name's NUL */
        {quit.substr(0, 4 + 2), "<none>"},    /* up to the node's NUL */
    };
    for (const auto &c : cases) {
        PSocket peer = ConnectLoopback(port);
        ServeOne(listener, ClientHandler);
        PlatSend(peer, c.bytes.data(), (int)c.bytes.size());
        int64_t deadline = PlatTickMs() + 500;
        while (NameFor(1234, 194) != c.name && PlatTickMs() < deadline)
            PlatSleep(5);
        EXPECT_EQ(NameFor(1234, 194), c.name) << "after " << c.bytes.size() << " bytes";
        EXPECT_EQ(ReadAll(peer, 3000), "");
        PlatClose(peer);
    }
}

TEST_F(ClientHandlerTest, RefusedPeersAreCountedAndClosed)
{
    /* Documentation addresses, one of which this host does not have. */
    PAddr other = 0xC6336401u; /* 198.51.100.1 */
    while (PlatHostHasAddr(other))
        other++;
    int before = iRcvdPalaverConnects;
    int running = HandlersRunning();
    PSocket peer = ConnectLoopback(port);
    /* As the accept loop does: the connection comes with a place among the
       handlers, which a refusal must give back. */
    PSocket s = AcceptNext(listener, nullptr, nullptr);
    ASSERT_NE(s, PSOCKET_INVALID);
    AdmitClient(s, other, 0x7F000001u);
    EXPECT_EQ(iRcvdPalaverConnects - before, 1);
    EXPECT_EQ(HandlersRunning(), running);
    EXPECT_EQ(CapturedLog(), "- ClientListen refused a connection from <198.51.100." +
                                 std::to_string(other & 255) + ">: not this host\r\n");
    EXPECT_EQ(ReadAll(peer, 3000), "");
    PlatClose(peer);
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
    /* It listens before it is registered: a sender that learns the port
       may connect at once. */
    PSocket c = PlatConnect(0x7F000001u, port);
    EXPECT_NE(c, PSOCKET_INVALID);
    if (c != PSOCKET_INVALID)
        PlatClose(c);
}
