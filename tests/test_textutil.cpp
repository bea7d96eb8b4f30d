/* Text helpers: positions, cuts and skips over NUL-terminated texts. */
#include "../common/textutil.h"

#include <gtest/gtest.h>
#include <string>

TEST(StrPos, FindsFirstOccurrence)
{
    struct {
        const char *text, *pattern;
        int pos;
    } cases[] = {
        {"6193 , 23", " ", 4}, {"6193, 23", " ", 5}, {"6193,23", " ", -1}, {"abc", "", -1},
        {"", "", -1},          {"", "a", -1},        {"aab", "ab", 1},     {"a.b", ".", 1},
        {"abc", "abcd", -1},   {"ABC", "b", -1},     {"xx", "xx", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(StrPos(c.text, c.pattern), c.pos) << c.text << " / " << c.pattern;
}

TEST(StrPos, PositionsStayWithinSixteenBits)
{
    std::string text(40000, 'a');
    text[32766] = '.';
    EXPECT_EQ(StrPos(text.c_str(), "."), 32766);
    text[32766] = 'a';
    text[32767] = '.';
    EXPECT_EQ(StrPos(text.c_str(), "."), -1);
}

TEST(LeftStr, CopiesAtMostNCharacters)
{
    char dest[16];
    EXPECT_STREQ(LeftStr(dest, "6193, 23", 5), "6193,");
    EXPECT_STREQ(LeftStr(dest, "abc", 0), "");
    EXPECT_STREQ(LeftStr(dest, "abc", -1), "");
    EXPECT_STREQ(LeftStr(dest, "abc", 10), "abc");
    EXPECT_EQ(LeftStr(dest, "abc", 2), dest);
}

TEST(Skip, StopsAtTheRightCharacter)
{
    const char *blanks = "  ,x";
    EXPECT_EQ(SkipSpace(blanks), blanks + 2);
    const char *commas = ",, x";
    EXPECT_EQ(SkipComma(commas), commas + 2);
    const char *query = "6193, 23";
    EXPECT_EQ(SkipWord(query), query + 5);
    const char *tab = "\t1";
    EXPECT_EQ(SkipSpace(tab), tab);
    const char *word = "1234,194";
    EXPECT_EQ(SkipWord(word), word + 8);
    EXPECT_EQ(*SkipWord(word), '\0');
}

TEST(DecimalValue, ReadsAsAtoiDoes)
{
    struct {
        const char *text;
        int value;
    } cases[] = {
        {"1234", 1234},
        {"  \t42x", 42},
        {"-7", -7},
        {"+8", 8},
        {"", 0},
        {"abc", 0},
        {"- 5", 0},
        {"2147483647", 2147483647},
        {"-2147483648", (int)0x80000000u},
        {"12,3", 12},
    };
    for (const auto &c : cases)
        EXPECT_EQ(DecimalValue(c.text), c.value) << c.text;
    /* Past the 32-bit range the value wraps modulo 2^32 but stays defined;
       2^32 divides 10^32, so 32 nines or more give -1. */
    EXPECT_EQ(DecimalValue("4294967297"), 1);
    EXPECT_EQ(DecimalValue("99999999999999999999"), 1661992959);
    EXPECT_EQ(DecimalValue("99999999999999999999999999999999"), -1);
    EXPECT_EQ(DecimalValue("-99999999999999999999"), -1661992959);
}

TEST(EscapeControls, ControlBytesFromPeersAreWrittenAsHex)
{
    char dest[32];
    EXPECT_STREQ(EscapeControls(dest, "Test Board", sizeof(dest)), "Test Board");
    EXPECT_STREQ(EscapeControls(dest, "1\r\n- x", sizeof(dest)), "1\\x0d\\x0a- x");
    EXPECT_STREQ(EscapeControls(dest, "\x1b[2J\x7f\x01\x1f", sizeof(dest)),
                 "\\x1b[2J\\x7f\\x01\\x1f");
    EXPECT_STREQ(EscapeControls(dest, "a\\x0a", sizeof(dest)), "a\\x5cx0a");
    /* Bytes above 0x7F are the system's own characters, not controls. */
    EXPECT_STREQ(EscapeControls(dest, "caf\xe9 \x80", sizeof(dest)), "caf\xe9 \x80");
    /* Cut before an escape that does not fit whole. */
    char small[7];
    EXPECT_STREQ(EscapeControls(small, "ab\ncd", sizeof(small)), "ab\\x0a");
    EXPECT_STREQ(EscapeControls(small, "abc\ncd", sizeof(small)), "abc");
    EXPECT_STREQ(EscapeControls(small, "abcdefgh", sizeof(small)), "abcdef");
}
