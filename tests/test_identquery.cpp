/* IDENT queries cut into their ports, and the replies formatted. */
#include "../ident/identquery.h"
#include "../ident/nodetable.h"

#include <gtest/gtest.h>
#include <string>

static std::pair<int, int> Cut(const std::string &query)
{
    int first = -99, second = -99;
    IdentCutQuery(query.c_str(), &first, &second);
    return {first, second};
}

TEST(IdentQuery, CutsEveryBlankAndCommaLayout)
{
    struct {
        const char *query;
        int first, second;
    } cases[] = {
        {"1234 , 194\r\n", 1234, 194},
        {"6193 , 23", 6193, 23},
        {"6193, 23", 6193, 23},
        {"6193 ,23", 6193, 23},
        {"6193   ,,  23\r\n", 6193, 23},
        {" 6193, 23", 0, 6193},      /* a leading blank empties the first number */
        {"1234,194\r\n", 1234, 194}, /* no blank at all: either side of the comma */
        {"1234,194", 1234, 194},
        {"1234", 1234, 0},
        {"abc , def", 0, 0},
        {"", 0, 0},
        {"-5 , +7", -5, 7},
        {"2147483647 , -2147483648", 2147483647, (int)0x80000000u},
        {"1234 \t, 194", 1234, 0},   /* a tab is not a blank: it stops the second */
        {"1234 , \t194", 1234, 194}, /* but leading white space of a number is skipped */
    };
    for (const auto &c : cases)
        EXPECT_EQ(Cut(c.query), std::make_pair(c.first, c.second)) << '"' << c.query << '"';
}

TEST(IdentQuery, HugeNumbersAndLongQueriesStayDefined)
{
    /* Twenty nines wrap modulo 2^32 to 1661992959. */
    EXPECT_EQ(Cut("99999999999999999999 , 99999999999999999999"),
              std::make_pair(1661992959, 1661992959));
    EXPECT_EQ(Cut(std::string(1024, '7')).second, 0);
    EXPECT_EQ(Cut(std::string(1024, ' ')), std::make_pair(0, 0));
    std::string longFirst = std::string(200, '0') + "12 , 34";
    EXPECT_EQ(Cut(longFirst).first, 0); /* only 127 characters of it are read */
    std::string farSecond = "12 " + std::string(130, ',') + "34";
    EXPECT_EQ(Cut(farSecond), std::make_pair(12, 0));
}

static std::string Reply(IdentReplyKind kind, int first, int second, const char *name)
{
    char reply[IDENT_REPLY_SIZE];
    int len = IdentFormatReply(reply, kind, first, second, name);
    EXPECT_EQ((size_t)len, strlen(reply));
    return std::string(reply, (size_t)len);
}

TEST(IdentReply, ThreeFormsByteForByte)
{
    EXPECT_EQ(Reply(IDENT_USERID, 1234, 194, "alice"), "1234,194 : USERID : UNIX : alice\r\n");
    EXPECT_EQ(Reply(IDENT_HIDDEN_USER, 1234, 194, ""), "1234,194 : ERROR : HIDDEN-USER \r\n");
    EXPECT_EQ(Reply(IDENT_NO_USER, 0, 6193, ""), "0,6193 : ERROR : NO-USER \r\n");
    EXPECT_EQ(Reply(IDENT_NO_USER, -1, -2, ""), "-1,-2 : ERROR : NO-USER \r\n");
}

TEST(IdentReply, HiddenOnlyForExactlyDisabled)
{
    EXPECT_EQ(IdentKindForName("DISABLED"), IDENT_HIDDEN_USER);
    EXPECT_EQ(IdentKindForName("disabled"), IDENT_USERID);
    EXPECT_EQ(IdentKindForName("DISABLED "), IDENT_USERID);
}

TEST(IdentReply, LongestReplyIsWhole)
{
    std::string name(127, 'n');
    std::string reply = Reply(IDENT_USERID, -2147483647 - 1, -2147483647 - 1, name.c_str());
    EXPECT_EQ(reply.size(), 171u);
    EXPECT_EQ(reply, "-2147483648,-2147483648 : USERID : UNIX : " + name + "\r\n");
}

TEST(IdentReply, NameEndsAtItsFirstLineBreak)
{
    EXPECT_EQ(Reply(IDENT_USERID, 1, 2, "eve\r\n3,4 : USERID : UNIX : root"),
              "1,2 : USERID : UNIX : eve\r\n");
    EXPECT_EQ(Reply(IDENT_USERID, 1, 2, "eve\nx"), "1,2 : USERID : UNIX : eve\r\n");
}
