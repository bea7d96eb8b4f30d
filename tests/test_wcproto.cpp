/* The host link's line transport: one line per request or answer, tab
   separated fields, over loopback connections. */
#include "support/testsupport.h"
#include "../wcsrv/wcproto.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

static std::vector<std::string> Split(std::string text, int max)
{
    std::vector<char> line(text.begin(), text.end());
    line.push_back('\0');
    std::vector<char *> fields((size_t)max);
    int n = WcSplit(line.data(), fields.data(), max);
    return std::vector<std::string>(fields.begin(), fields.begin() + n);
}

TEST(WcSplit, FieldsAtTabsUpToMax)
{
    typedef std::vector<std::string> Fields;
    EXPECT_EQ(Split("OK\tBoard\tREG-1", 3), (Fields{"OK", "Board", "REG-1"}));
    EXPECT_EQ(Split("OK", 3), (Fields{"OK"}));
    EXPECT_EQ(Split("", 3), (Fields{""}));
    EXPECT_EQ(Split("OK\t\t", 3), (Fields{"OK", "", ""}));
    /* Fields past max are left off; a blank is no separator. */
    EXPECT_EQ(Split("a\tb\tc\td", 2), (Fields{"a", "b"}));
    EXPECT_EQ(Split("a b\tc", 1), (Fields{"a b"}));
}

/* A connected pair over loopback: what the sender sends, the receiver
   receives. */
class WcLine : public ::testing::Test {
  protected:
    PSocket listener = PSOCKET_INVALID, sender = PSOCKET_INVALID, receiver = PSOCKET_INVALID;
    void SetUp() override
    {
        int port;
        listener = ListenLoopback(&port);
        sender = ConnectLoopback(port);
        receiver = PlatAccept(listener, nullptr, nullptr);
        ASSERT_NE(receiver, PSOCKET_INVALID);
    }
    void TearDown() override
    {
        if (sender != PSOCKET_INVALID)
            PlatClose(sender);
        if (receiver != PSOCKET_INVALID)
            PlatClose(receiver);
        PlatClose(listener);
    }
    void Raw(const std::string &bytes)
    {
        ASSERT_EQ(PlatSend(sender, bytes.data(), (int)bytes.size()), (int)bytes.size());
    }
    /* One line from the receiver, or "<fail>". */
    std::string Line(int timeoutMs = 5000)
    {
        char line[WCSRV_LINE_MAX];
        return WcRecvLine(receiver, line, timeoutMs) == 0 ? std::string(line) : "<fail>";
    }
};

TEST_F(WcLine, LinesEndAtNewlineWithOrWithoutCr)
{
    ASSERT_EQ(WcSendLine(sender, "HELLO"), 0);
    Raw("OK\tBoard\r\n\r\nin\rside\r\n");
    EXPECT_EQ(Line(), "HELLO");
    EXPECT_EQ(Line(), "OK\tBoard");
    EXPECT_EQ(Line(), "");
    EXPECT_EQ(Line(), "in\rside") << "only the CR before the newline is dropped";
}

TEST_F(WcLine, NothingPastTheNewlineIsTaken)
{
    Raw("first\nsecond");
    EXPECT_EQ(Line(), "first");
    char rest[16];
    ASSERT_EQ(PlatRecv(receiver, rest, sizeof(rest), 5000), 6);
    EXPECT_EQ(std::string(rest, 6), "second");
}

TEST_F(WcLine, LongestLineFitsOneMoreFails)
{
    std::string longest(WCSRV_LINE_MAX - 1, 'n');
    ASSERT_EQ(WcSendLine(sender, longest.c_str()), 0);
    EXPECT_EQ(Line(), longest);
    EXPECT_EQ(WcSendLine(sender, (longest + "n").c_str()), -1) << "a line too long was sent cut";
    Raw(longest + "n\n");
    EXPECT_EQ(Line(), "<fail>");
}

TEST_F(WcLine, PeerClosingOrSilentFails)
{
    Raw("no newline");
    int64_t start = PlatTickMs();
    EXPECT_EQ(Line(300), "<fail>");
    EXPECT_GE(PlatTickMs() - start, 250) << "gave up before the time ran out";
    PlatClose(sender);
    sender = PSOCKET_INVALID;
    EXPECT_EQ(Line(5000), "<fail>");
}
