/* ClientHandler over real loopback connections: records change the node
   table and the log; the peer check keeps other hosts out. */
#include "support/testsupport.h"
#include "../common/accept.h"
#include "../common/state.h"
#include "../common/throttle.h"
#include "../common/waits.h"
#include "../ident/identhandler.h"
#include "../ident/nodetable.h"
#include "../notify/clientrec.h"
#include "../notify/binding.h"
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
        /* Records taken as they come, but where a test says otherwise. */
        InitIdentAnswers(1);
        ClearLog();
        listener = ListenLoopback(&port);
    }
    void TearDown() override
    {
        PlatClose(listener);
        InitNodeRec();
    }
    /* Sends bytes in pieces with a pause between them, then waits until
       the handler has closed the connection; the milliseconds from the last
       piece to the close. The sender stays silent for iQuietMs first. */
    int iQuietMs = 0;
    int Send(const std::string &bytes, size_t piece = 0, int pauseMs = 0)
    {
        PSocket c = ConnectLoopback(port);
        ServeOne(listener, ClientHandler);
        PlatSleep(iQuietMs);
        if (piece == 0)
            piece = bytes.size() ? bytes.size() : 1;
        /* Every piece is taken, none refused with a reset, though the
           record counts before its last. */
        for (size_t at = 0; at < bytes.size(); at += piece) {
            int n = (int)std::min(piece, bytes.size() - at);
            EXPECT_EQ(PlatSend(c, bytes.data() + at, n), n) << "piece at " << at;
            if (pauseMs)
                PlatSleep(pauseMs);
        }
        int closedAfterMs = -1;
        EXPECT_EQ(ReadAll(c, iIdleTimeoutMs + 4000, &closedAfterMs), "");
        EXPECT_NE(closedAfterMs, -1) << "the handler never closed the connection";
        PlatClose(c);
        return closedAfterMs;
    }
    /* A whole record is handled as soon as its last byte is in, without
       waiting for more. */
    void SendWhole(const std::string &bytes, size_t piece = 0, int pauseMs = 0)
    {
        EXPECT_LT(Send(bytes, piece, pauseMs), iIdleTimeoutMs * 9 / 10)
            << "the handler waited for more than the record";
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
    SendWhole(MakeConnect("3", "194", "1234", "alice"));
    EXPECT_EQ(NameFor(1234, 194), "alice");
    EXPECT_EQ(CapturedLog(), "- ClientHandler Connect received on node  <3>\r\n"
                             "- ClientHandler Connect taken on node <3>: name <alice> pair "
                             "<1234,194>\r\n");
    ClearLog();
    SendWhole(MakeQuit("3"));
    EXPECT_EQ(NameFor(1234, 194), "<none>");
    EXPECT_EQ(NameFor(2, 1), "other");
    EXPECT_EQ(CapturedLog(), "- ClientHandler Quit received on node <3>\r\n"
                             "- ClientHandler Quit taken on node <3>: name <alice> pair "
                             "<1234,194>\r\n");
}

/* Unless answering from the table alone, a record is bound to the
   connection it names, which this program holds; one naming no connection
   is refused and changes nothing. */
TEST_F(ClientHandlerTest, ConnectIsBoundToTheSendersConnection)
{
    InitIdentAnswers(0);
    int serverPort;
    PSocket server = ListenLoopback(&serverPort);
    PSocket user = ConnectLoopback(serverPort);
    PSocket serverSide = PlatAccept(server, nullptr, nullptr);
    std::string remote = std::to_string(serverPort), local = std::to_string(PlatLocalPort(user));
    /* Wine names a socket's owning process only once the process has used
       it; a chat client talks to its server at once. */
    PlatSend(user, "x", 1);
    ClearLog();
    /* Wine has not named the sender when its connection is accepted. Not
       SendWhole: the look-ups in the system's tables take their time (over
       a second under Wine on a busy machine), which is not waiting for more
       of the record. */
    iQuietMs = 300;
    Send(MakeConnect("3", remote.c_str(), local.c_str(), "alice"));
    iQuietMs = 0;
    NodeEntry entry;
    GetNodeRec(3, &entry);
    EXPECT_EQ(entry.bBound, 1) << CapturedLog();
    EXPECT_EQ(entry.conn.remote, 0x7F000001u);
    EXPECT_EQ(NameFor(PlatLocalPort(user), serverPort), "alice");
    ClearLog();
    Send(MakeConnect("5", remote.c_str(), "1", "mallory"));
    EXPECT_EQ(CapturedLog(), "- ClientHandler Connect received on node  <5>\r\n"
                             "- ClientHandler Connect for node <5> name <mallory> refused: no "
                             "connection from "
                             "port <1> to port <" +
                                 remote + "> on this host\r\n");
    GetNodeRec(5, &entry);
    EXPECT_EQ(entry.bInUse, 0);
    PlatClose(user);
    PlatClose(serverSide);
    PlatClose(server);
    InitIdentAnswers(1);
}

TEST_F(ClientHandlerTest, RecordInPiecesKeepsItsName)
{
    SendWhole(MakeConnect("9", "6667", "40000", "slowpoke"), 7, 10);
    EXPECT_EQ(NameFor(40000, 6667), "slowpoke");
}

TEST_F(ClientHandlerTest, UnknownKindsChangeNothing)
{
    SendWhole("c" + MakeConnect("3", "194", "1234", "alice").substr(1));
    SendWhole("hello");
    EXPECT_EQ(NameFor(1234, 194), "<none>");
    EXPECT_EQ(CapturedLog(), "- ClientHabdler Unknown client message\r\n"
                             "- ClientHabdler Unknown client message\r\n");
}

TEST_F(ClientHandlerTest, NodesOutsideTheTableAreIgnoredAndSaidSo)
{
    SendWhole(MakeConnect("256", "194", "1234", "mallory"));
    SendWhole(MakeConnect("-1", "194", "1234", "mallory"));
    SendWhole(MakeQuit("99999"));
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
    EXPECT_GE(Send(""), iIdleTimeoutMs * 9 / 10) << "dropped before the idle time";
    EXPECT_EQ(iRcvdPalaverConnects - before, 1);
    EXPECT_EQ(CapturedLog(), "");
}

/* The window shows Connect and Quit records apart; a connection that
   carries neither raises only the connection count. */
TEST_F(ClientHandlerTest, ConnectAndQuitRecordsAreCountedApart)
{
    const struct {
        std::string bytes;
        int connects, quits, connections;
    } cases[] = {
        {MakeConnect("3", "194", "1234", "alice"), 1, 0, 1},
        {MakeConnect("300", "194", "1234", "bob"), 1, 0, 1},
        {MakeQuit("3"), 0, 1, 1},
        {"Xjunk", 0, 0, 1},
        {"", 0, 0, 1},
    };
    for (const auto &c : cases) {
        int connects = iRcvdClientConnects, quits = iRcvdClientQuits;
        int connections = iRcvdPalaverConnects;
        Send(c.bytes);
        EXPECT_EQ(iRcvdClientConnects - connects, c.connects) << c.bytes.substr(0, 5);
        EXPECT_EQ(iRcvdClientQuits - quits, c.quits) << c.bytes.substr(0, 5);
        EXPECT_EQ(iRcvdPalaverConnects - connections, c.connections) << c.bytes.substr(0, 5);
    }
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

TEST_F(ClientHandlerTest, RecordThatNeverCompletesIsDroppedAtTheTotalDeadline)
{
    PSocket c = ConnectLoopback(port);
    ServeOne(listener, ClientHandler);
    int64_t start = PlatTickMs();
    PlatSend(c, "C", 1);
    /* A piece every tenth of the idle time, never a NUL, never the whole
       record: a deadline that started again with each piece would not come
       while the pieces do. */
    int closedAfterMs = -1;
    int pieces = 1;
    while (closedAfterMs == -1 && PlatTickMs() - start < iIdleTimeoutMs * 4) {
        char buf[16];
        int n = PlatRecv(c, buf, sizeof(buf), iIdleTimeoutMs / 10);
        if (n == 0 || (n < 0 && PlatSend(c, "x", 1) != 1))
            closedAfterMs = (int)(PlatTickMs() - start);
        else if (n < 0)
            pieces++;
    }
    ASSERT_LT(pieces, (int)sizeof(ClientCrec)) << "the record was completed";
    EXPECT_NE(closedAfterMs, -1) << "still open after " << pieces << " pieces";
    EXPECT_GE(closedAfterMs, iIdleTimeoutMs * 9 / 10) << "dropped before the idle time";
    PlatClose(c);
}

/* Which of the connections on a record's ports its sender holds. Each row:
   the connections (their accounts and socket numbers), whether the sender's
   program holds each (PlatSameProgram), whether a node holds each, and the
   verdict with the one chosen. The sender is account 1000's. */
TEST(ClientBinding, TheSendersConnectionIsChosenOrTheRecordRefused)
{
    const struct {
        const char *what;
        int n;
        int64_t accounts[3];
        int same[3];
        bool held[3];
        BindWhy why;
        int chosen;
    } cases[] = {
        {"nothing on the ports", 0, {}, {}, {}, BIND_NO_CONNECTION, -1},
        {"its own program's", 1, {1000}, {1}, {false}, BIND_TAKEN, 0},
        {"its program's, the unheld first", 2, {1000, 1000}, {1, 1}, {true, false}, BIND_TAKEN, 1},
        {"another program's", 1, {1000}, {0}, {false}, BIND_ANOTHER_PROGRAMS, -1},
        {"another account's, seen", 1, {0}, {0}, {false}, BIND_ANOTHER_ACCOUNTS, -1},
        {"another account's, unseen", 1, {0}, {-1}, {false}, BIND_ANOTHER_ACCOUNTS, -1},
        {"the account's only one, unseen", 2, {0, 1000}, {-1, -1}, {false, true}, BIND_TAKEN, 1},
        {"the account's newest unheld",
         3,
         {1000, 1000, 1000},
         {-1, -1, -1},
         {false, true, false},
         BIND_TAKEN,
         2},
        {"the account's, all held",
         2,
         {1000, 1000},
         {-1, -1},
         {true, true},
         BIND_WHICH_UNKNOWN,
         -1},
        {"its program's before the account's",
         2,
         {1000, 1000},
         {-1, 1},
         {false, true},
         BIND_TAKEN,
         1},
    };
    const PConn sender = {0x7F000001u, 50000, 0x7F000001u, 7000, 1, 1000, 0, 900};
    for (const auto &c : cases) {
        PConn conns[3];
        for (int i = 0; i < c.n; i++)
            conns[i] = {0x7F000001u,   40000, 0x7F000002u + (PAddr)i, 6667, 0,
                        c.accounts[i], 0,     (uint64_t)(100 + i)};
        int chosen = -1;
        EXPECT_EQ(ChooseConn(&sender, conns, c.same, c.held, c.n, &chosen), c.why) << c.what;
        EXPECT_EQ(chosen, c.chosen) << c.what;
    }
}

TEST(ClientPeer, OnlyThisHostMaySendRecords)
{
    EXPECT_EQ(bLocalPeer(0x7F000001u, 0x7F000001u), 1);
    EXPECT_EQ(bLocalPeer(0x7F0000FEu, 0x0A000001u), 1);
    EXPECT_EQ(bLocalPeer(0x0A000002u, 0x0A000002u), 1);
    EXPECT_EQ(bLocalPeer(0x0A000003u, 0x0A000002u), 0);
    EXPECT_EQ(bLocalPeer(0xC0A80001u, 0x7F000001u), 0);
}

/* The port announced is the one served: a record sent there reaches the
   table. The listener serves on for the rest of this test program. */
TEST(ClientPort, SystemPicksAPort)
{
    int unused;
    PlatClose(ListenLoopback(&unused)); /* starts the socket library */
    InitNodeRec();
    /* The record names no connection: taken as it comes. */
    InitIdentAnswers(1);
    int port = OpenClientPort();
    ASSERT_GT(port, 0);
    /* It listens before it is registered: a sender that learns the port may
       connect at once, before the accept loop runs. */
    PSocket c = PlatConnect(0x7F000001u, port);
    ASSERT_NE(c, PSOCKET_INVALID) << "nothing listens on port " << port;
    ASSERT_EQ(PlatThreadStart([](void *) { ClientListen(); }, nullptr), 0);
    std::string rec = MakeConnect("6", "6667", "50000", "served");
    PlatSend(c, rec.data(), (int)rec.size());
    ReadAll(c, 5000);
    PlatClose(c);
    EXPECT_EQ(NameFor(50000, 6667), "served");
    InitNodeRec();
}

TEST(ClientRefusals, FirstLineThenAtMostOneCountAMinutePerAddress)
{
    ClearRefusals();
    const PAddr other = 0xC0000202u, third = 0xC0000203u;
    char line[512];
    ASSERT_EQ(RefusalLine(other, 1000, line, sizeof(line)), 1);
    EXPECT_STREQ(line, "- ClientListen refused a connection from <192.0.2.2>: not this host\r\n");
    for (int i = 1; i <= 500; i++)
        EXPECT_EQ(RefusalLine(other, 1000 + i * 100, line, sizeof(line)), 0) << i;
    /* Another address is an address of its own. */
    ASSERT_EQ(RefusalLine(third, 2000, line, sizeof(line)), 1);
    EXPECT_STREQ(line, "- ClientListen refused a connection from <192.0.2.3>: not this host\r\n");
    ASSERT_EQ(RefusalLine(other, 61000, line, sizeof(line)), 1);
    EXPECT_STREQ(line,
                 "- ClientListen refused <501> connections from <192.0.2.2> in the last 60 s: "
                 "not this host\r\n");
    EXPECT_EQ(RefusalLine(other, 61001, line, sizeof(line)), 0);

    /* A quiet address is forgotten after its minute; counts still owed
       are written by the sweep. Addresses beyond the table share one line
       a minute. */
    EXPECT_EQ(RefusalSweep(62500, line, sizeof(line)), 0) << "nothing owed";
    EXPECT_EQ(RefusalLine(third, 62500, line, sizeof(line)), 1) << "forgotten, so a first line";
    EXPECT_EQ(RefusalLine(third, 63000, line, sizeof(line)), 0);
    for (PAddr a = 1; a <= THROTTLE_KEYS - 2; a++)
        ASSERT_EQ(RefusalLine(0x0A000000u + a, 63000, line, sizeof(line)), 1);
    ASSERT_EQ(RefusalLine(0x0B000001u, 64000, line, sizeof(line)), 1);
    EXPECT_STREQ(line,
                 "- ClientListen refused <1> connections from other addresses in the last 0 s: "
                 "not this host\r\n");
    EXPECT_EQ(RefusalLine(0x0B000002u, 65000, line, sizeof(line)), 0);
    ASSERT_EQ(RefusalSweep(125000, line, sizeof(line)), 1);
    EXPECT_STREQ(line,
                 "- ClientListen refused <1> connections from <192.0.2.2> in the last 64 s: "
                 "not this host\r\n"
                 "- ClientListen refused <1> connections from <192.0.2.3> in the last 62 s: "
                 "not this host\r\n"
                 "- ClientListen refused <1> connections from other addresses in the last 61 s: "
                 "not this host\r\n");
    ClearRefusals();
}
