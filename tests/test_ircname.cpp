/* The IRC-safe ident: one pure function of the name, and for a clash of the
   users online. The idents were computed apart from the code (FNV-1a, 32
   bits, in Python), so both Windows builds and Linux must give them alike. */
#include "../ident/ircname.h"

#include <gtest/gtest.h>
#include <string>

static const int BLANK = IRC_HAS_BLANK, OTHER = IRC_HAS_OTHER, LONG_ = IRC_TOO_LONG;

TEST(IrcName, EveryKindOfNameGetsItsSafeForm)
{
    const struct {
        std::string name, ident;
        int faults;
        const char *why = nullptr; /* the log's words for the faults */
    } cases[] = {
        {"bbsalice", "bbsalice", 0},
        {"Alice Smith", "AliceSm2mo", BLANK | LONG_, "a blank, more than 10 characters"},
        {"bbs_alice", "bbsalicfcx", OTHER, "a character other than letters and digits"},
        {"bbs.alice", "bbsalicpv8", OTHER},
        {"ABCDEFGHIJ", "ABCDEFGHIJ", 0},
        {"ABCDEFGHIJK", "ABCDEFGi7v", LONG_, "more than 10 characters"},
        {"abcdefghij1", "abcdefg2d5", LONG_}, /* equal in their first ten, */
        {"abcdefghij2", "abcdefg9a8", LONG_}, /* apart in their idents */
        {"caf\xe9 au lait", "cafaulacvw", BLANK | OTHER | LONG_,
         "a blank, a character other than letters and digits, more than 10 characters"},
        {std::string(127, 'x'), "xxxxxxx5dr", LONG_},
        {"", "", 0, ""},
        {"!!! ...", "", BLANK | OTHER},
    };
    for (const auto &c : cases) {
        char ident[IRC_IDENT_SIZE], why[IRC_FAULTS_TEXT_SIZE];
        IrcIdent(c.name.c_str(), 0, ident);
        EXPECT_EQ(ident, c.ident) << c.name;
        EXPECT_EQ(IrcNameFaults(c.name.c_str()), c.faults) << c.name;
        IrcFaultsText(c.faults, why);
        if (c.why != nullptr) {
            EXPECT_STREQ(why, c.why) << c.name;
        }
    }
}

/* Online users never share an ident, whatever its case: the same name is
   one user with one ident; another name whose ident is taken gets the next
   suffix that is free. */
TEST(IrcName, UsersOnlineNeverShareAnIdent)
{
    const char *names[] = {"Bob", "Alice Smith", "BOB"};
    const char *idents[] = {"Bob", "AliceSm2mo", "BOBlsv"};
    const struct {
        const char *name, *ident;
        int counter;
    } cases[] = {{"Alice Smith", "AliceSm2mo", 0}, {"bob", "bob4fz", 1}, {"carol", "carol", 0}};
    for (const auto &c : cases) {
        char ident[IRC_IDENT_SIZE];
        int counter = -1;
        IrcIdentAmong(c.name, 3, names, idents, ident, &counter);
        EXPECT_STREQ(ident, c.ident) << c.name;
        EXPECT_EQ(counter, c.counter) << c.name;
    }
}
