/* The node table: storing, finding and freeing entries, and its lock. */
#include "../ident/nodetable.h"

#include <atomic>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

class NodeTable : public ::testing::Test {
  protected:
    void SetUp() override
    {
        InitNodeRec();
    }
    void TearDown() override
    {
        InitNodeRec();
    }
};

TEST_F(NodeTable, FreshTableFindsNothing)
{
    char name[NODE_NAME_SIZE];
    EXPECT_EQ(FindNodeRec(0, 0, 0, name), -1);
    EXPECT_EQ(FindNodeRec(1234, 194, 0, name), -1);
}

TEST_F(NodeTable, FindsByLocalThenRemotePort)
{
    char name[NODE_NAME_SIZE];
    ASSERT_EQ(SetNodeRec(3, 194, 1234, "alice"), 0);
    EXPECT_EQ(FindNodeRec(1234, 194, 0, name), 3);
    EXPECT_STREQ(name, "alice");
    EXPECT_EQ(FindNodeRec(1234, 194, 4, name), -1);
    EXPECT_EQ(FindNodeRec(194, 1234, 0, name), -1);
}

/* A pair has one holder: the newest, and the node it was taken from is
   freed and named; the same node again, or another pair, frees nothing. */
TEST_F(NodeTable, NewestHolderOfAPortPairWins)
{
    char name[NODE_NAME_SIZE];
    const struct {
        int node, local, freed;
    } steps[] = {{9, 1234, -1}, {9, 1234, -1}, {2, 1235, -1}, {2, 1234, 9}};
    for (const auto &st : steps) {
        int freed = 0;
        SetNodeRec(st.node, 194, st.local, "carol", &freed);
        EXPECT_EQ(freed, st.freed) << "node " << st.node << " local " << st.local;
    }
    EXPECT_EQ(FindNodeRec(1234, 194, 0, name), 2);
    EXPECT_EQ(FindNodeRec(1234, 194, 3, name), -1);
    NodeEntry lost;
    GetNodeRec(9, &lost);
    EXPECT_EQ(lost.bInUse + lost.sName[0], 0);
}

/* Bound to their connections, two nodes may hold one port pair towards two
   servers: each is found only from its own server on its own address, a
   Connect frees only the holder of the same connection, and a query from
   elsewhere finds the entry it was not given. */
TEST_F(NodeTable, BoundEntriesShareAPairTowardsTwoServers)
{
    const PAddr HERE = 0x7F000001u, A = 0x7F000002u, B = 0x7F000004u;
    const PConn toA = {HERE, 40000, A, 6667, 11, 0, 0, 0},
                toB = {HERE, 40000, B, 6667, 12, 0, 0, 0};
    int freed = 0;
    SetNodeRec(3, 6667, 40000, "alice", &freed, &toA);
    SetNodeRec(5, 6667, 40000, "bob", &freed, &toB);
    EXPECT_EQ(freed, -1);
    char name[NODE_NAME_SIZE];
    PConn conn;
    const NodeAsk fromA = {A, HERE}, fromB = {B, HERE}, wrongAddr = {A, 0x7F000003u};
    EXPECT_EQ(FindNodeRec(40000, 6667, 0, name, nullptr, &fromA, &conn), 3);
    EXPECT_EQ(conn.id, 11u);
    EXPECT_EQ(FindNodeRec(40000, 6667, 0, name, nullptr, &fromB), 5);
    EXPECT_STREQ(name, "bob");
    EXPECT_EQ(FindNodeRec(40000, 6667, 4, name, nullptr, &fromA), -1);
    EXPECT_EQ(FindNodeRec(40000, 6667, 0, name, nullptr, &wrongAddr), -1);
    EXPECT_EQ(FindNodeRecElsewhere(40000, 6667, &wrongAddr, &conn), 3);
    EXPECT_EQ(FindNodeRecElsewhere(40000, 6667, &fromA, &conn), 5);
    EXPECT_EQ(NodeHoldingConn(&toB), 5);
    /* The same connection registered again moves; a later one with the
       same four fields (another id) is another connection. */
    SetNodeRec(7, 6667, 40000, "bob", &freed, &toB);
    EXPECT_EQ(freed, 5);
    PConn again = toA;
    again.id = 13;
    SetNodeRec(8, 6667, 40000, "carol", &freed, &again);
    EXPECT_EQ(freed, -1);
}

TEST_F(NodeTable, EveryNodeIncludingTheLastIsFound)
{
    char name[NODE_NAME_SIZE];
    SetNodeRec(0, 1, 2, "first");
    SetNodeRec(255, 3, 4, "last");
    EXPECT_EQ(FindNodeRec(2, 1, 0, name), 0);
    EXPECT_EQ(FindNodeRec(4, 3, 0, name), 255);
    EXPECT_STREQ(name, "last");
    InitNodeRec();
    EXPECT_EQ(FindNodeRec(4, 3, 0, name), -1);
}

TEST_F(NodeTable, ClearFreesOnlyThatNode)
{
    char name[NODE_NAME_SIZE];
    SetNodeRec(3, 194, 1234, "alice");
    SetNodeRec(4, 195, 1235, "dave");
    ASSERT_EQ(ClearNodeRec(3), 0);
    EXPECT_EQ(FindNodeRec(1234, 194, 0, name), -1);
    NodeEntry entry;
    ASSERT_EQ(GetNodeRec(3, &entry), 0);
    EXPECT_STREQ(entry.sName, "");
    EXPECT_EQ(entry.iLocalPort, 0);
    EXPECT_EQ(entry.iRemotePort, 0);
    EXPECT_EQ(entry.bInUse, 0);
    EXPECT_EQ(FindNodeRec(1235, 195, 0, name), 4);
    EXPECT_STREQ(name, "dave");
    EXPECT_EQ(ClearNodeRec(3), 0); /* already free: stays free */
}

TEST_F(NodeTable, ConnectOverwritesEntry)
{
    char name[NODE_NAME_SIZE];
    SetNodeRec(5, 10, 20, "old");
    SetNodeRec(5, 11, 21, "new");
    EXPECT_EQ(FindNodeRec(20, 10, 0, name), -1);
    EXPECT_EQ(FindNodeRec(21, 11, 0, name), 5);
    EXPECT_STREQ(name, "new");
}

TEST_F(NodeTable, NodesOutsideTheTableChangeNothing)
{
    char name[NODE_NAME_SIZE];
    for (int node : {-1, 256, 99999, -2147483647 - 1, 2147483647}) {
        EXPECT_EQ(SetNodeRec(node, 194, 1234, "mallory"), -1) << node;
        EXPECT_EQ(ClearNodeRec(node), -1) << node;
    }
    EXPECT_EQ(FindNodeRec(1234, 194, 0, name), -1);
}

TEST_F(NodeTable, LongNamesAreCutAndKeptExactly)
{
    char name[NODE_NAME_SIZE];
    std::string longName(300, 'x');
    SetNodeRec(7, 1, 2, longName.c_str());
    ASSERT_EQ(FindNodeRec(2, 1, 0, name), 7);
    EXPECT_EQ(std::string(name), std::string(127, 'x'));
    SetNodeRec(7, 1, 2, " Mixed Case ");
    FindNodeRec(2, 1, 0, name);
    EXPECT_STREQ(name, " Mixed Case ");
}

/* Writers keep replacing entries with names that spell out their own node
   and ports over the whole field; a reader must never see a name that
   belongs to another write, or an entry half cleared. */
static std::string NameOf(int node, int port)
{
    std::string prefix = "n" + std::to_string(node) + "p" + std::to_string(port);
    return prefix + std::string(NODE_NAME_SIZE - 1 - prefix.size(), (char)('a' + port % 26));
}

TEST_F(NodeTable, ReadersNeverSeeAHalfWrittenEntry)
{
    const int NODES = 4, PORTS = 3, ROUNDS = 100000;
    std::atomic<bool> bStop(false);
    std::atomic<int> iBad(0), iSeen(0);
    std::vector<std::thread> writers, readers;
    for (int w = 0; w < 2; w++)
        writers.emplace_back([&, w] {
            for (int round = 0; round < ROUNDS; round++) {
                int node = (round / 2 + w) % NODES;
                int port = 1000 + (round + w) % PORTS;
                if (round % 7 == 0)
                    ClearNodeRec(node);
                else
                    SetNodeRec(node, port, port, NameOf(node, port).c_str());
            }
        });
    for (int r = 0; r < 2; r++)
        readers.emplace_back([&, r] {
            char name[NODE_NAME_SIZE];
            for (int round = 0; !bStop; round++) {
                int port = 1000 + (round + r) % PORTS;
                for (int i = FindNodeRec(port, port, 0, name); i != -1;
                     i = FindNodeRec(port, port, i + 1, name)) {
                    iSeen++;
                    if (NameOf(i, port) != name)
                        iBad++;
                }
            }
        });
    for (auto &t : writers)
        t.join();
    bStop = true;
    for (auto &t : readers)
        t.join();
    EXPECT_EQ(iBad.load(), 0);
    EXPECT_GT(iSeen.load(), 0);
}
