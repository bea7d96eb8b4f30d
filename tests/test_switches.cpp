/* The command line's switches as both front ends read them: only --name and
   --name=value, and a refusal that names what it could not read. */
#include "../app/switches.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

TEST(Switches, ReadOrRefusedWithTheReason)
{
    const struct {
        std::vector<const char *> args;
        int tableOnly;
        std::string error; /* empty when read */
    } cases[] = {
        {{}, 0, ""},
        {{"--table-only", "--table-only"}, 1, ""},
        {{"--table-only=yes"}, 0, "--table-only takes no value: '--table-only=yes'"},
        {{"--table-only", "-t"}, 0, "'-t' is not a switch (they are written --name)"},
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
    }
}
