/* The command line's switches as both front ends read them: only --name and
   --name=value, and a refusal that names what it could not read. */
#include "../app/switches.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

TEST(Switches, ReadOrRefusedWithTheReason)
{
    const std::string SECONDS_ONLY =
        "--wait-for-host takes a number of seconds from 1 to 31622400: ";
    const std::string MAX_IDENT_ONLY = "--max-ident takes a number from 1 to 1000000: ";
    const struct {
        std::vector<const char *> args;
        int tableOnly;
        int waitForHost;
        std::string user;
        std::string error; /* empty when read */
        int maxIdent;
    } cases[] = {
        {{}, 0, 0, "", "", 0},
        {{"--table-only", "--table-only"}, 1, 0, "", "", 0},
        {{"--table-only=yes"}, 0, 0, "", "--table-only takes no value: '--table-only=yes'", 0},
        {{"--table-only", "-t"}, 0, 0, "", "'-t' is not a switch (they are written --name)", 0},
        {{"--wait-for-host"}, 0, HOST_WAIT_ALWAYS, "", "", 0},
        {{"--wait-for-host=30", "--user=nobody"}, 0, 30, "nobody", "", 0},
        {{"--wait-for-host=0"}, 0, 0, "", SECONDS_ONLY + "'--wait-for-host=0'", 0},
        {{"--wait-for-host=3s"}, 0, 0, "", SECONDS_ONLY + "'--wait-for-host=3s'", 0},
        {{"--wait-for-host=31622401"}, 0, 0, "", SECONDS_ONLY + "'--wait-for-host=31622401'", 0},
        {{"--user="}, 0, 0, "", "--user takes an account's name: '--user='", 0},
        {{"--max-ident=500"}, 0, 0, "", "", 500},
        {{"--max-ident"}, 0, 0, "", MAX_IDENT_ONLY + "'--max-ident'", 0},
        {{"--max-ident=0"}, 0, 0, "", MAX_IDENT_ONLY + "'--max-ident=0'", 0},
        {{"--log-dir=/var/log/q", "--log-days=7"}, 0, 0, "", "", 0},
        {{"--log-dir="},
         0,
         0,
         "",
         "--log-dir takes a folder's name of at most 259 characters: '--log-dir='",
         0},
        {{"--log-days=36601"},
         0,
         0,
         "",
         "--log-days takes a number from 1 to 36600: '--log-days=36601'",
         0},
    };
    for (const auto &c : cases) {
        std::vector<const char *> argv = {"quillet"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        Switches sw;
        char error[160] = "";
        int rc = ReadSwitches((int)argv.size(), argv.data(), &sw, error, sizeof(error));
        std::string what = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(rc, c.error.empty() ? 0 : -1) << what;
        EXPECT_EQ(error, c.error) << what;
        EXPECT_EQ(rc == 0 ? sw.bTableOnly : 0, c.tableOnly) << what;
        EXPECT_EQ(rc == 0 ? sw.iWaitForHost : 0, c.waitForHost) << what;
        EXPECT_EQ(rc == 0 ? sw.sUser : "", c.user) << what;
        EXPECT_EQ(rc == 0 ? sw.iMaxIdent : 0, c.maxIdent) << what;
    }
}
