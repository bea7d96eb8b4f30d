/* The ferrule library, loaded at run time the way an outside program loads
   it: the name checks, the overlap-safe copy and the version. */
#include "../../ferrule/ferrule.h"

#include <gtest/gtest.h>

#include <limits.h>
#include <string.h>
#include <string>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace {

/* Beside the test program on Windows, so that the loader's own search finds
   it; the built file's full path on Linux. */
#ifdef _WIN32
const char LIBRARY_FILE[] = "ferrule.dll";
#else
const char LIBRARY_FILE[] = FERRULE_PATH;
#endif

enum Lookup { BY_NAME, BY_ORDINAL };

struct Exports {
    qvGetDLLVersionProc pGetDLLVersion;
    qvValidNameProc pValidChannelName;
    qvValidNameProc pValidServerName;
    qvMemCpyProc pMemCpy;
};

#ifdef _WIN32
typedef HMODULE LibHandle;

LibHandle OpenLibrary(void)
{
    return LoadLibraryA(LIBRARY_FILE);
}

bool CloseLibrary(LibHandle h)
{
    return FreeLibrary(h) != 0;
}

void *FindExport(LibHandle h, const char *name, int ordinal, Lookup how)
{
    FARPROC p =
        how == BY_NAME ? GetProcAddress(h, name) : GetProcAddress(h, MAKEINTRESOURCEA(ordinal));
    return reinterpret_cast<void *>(p);
}
#else
typedef void *LibHandle;

LibHandle OpenLibrary(void)
{
    return dlopen(LIBRARY_FILE, RTLD_NOW | RTLD_LOCAL);
}

bool CloseLibrary(LibHandle h)
{
    return dlclose(h) == 0;
}

/* A shared object has no ordinals; names are all there is. */
void *FindExport(LibHandle h, const char *name, int, Lookup)
{
    return dlsym(h, name);
}
#endif

template <typename Proc>
void Resolve(LibHandle h, const char *name, int ordinal, Lookup how, Proc *out)
{
    void *p = FindExport(h, name, ordinal, how);
    ASSERT_NE(p, nullptr) << name << " (ordinal " << ordinal << ")";
    *out = reinterpret_cast<Proc>(p);
}

class Ferrule : public ::testing::TestWithParam<Lookup> {
  protected:
    static void SetUpTestSuite()
    {
        hLib = OpenLibrary();
    }

    static void TearDownTestSuite()
    {
        if (hLib != nullptr)
            CloseLibrary(hLib);
        hLib = nullptr;
    }

    void SetUp() override
    {
        ASSERT_NE(hLib, nullptr) << "cannot load " << LIBRARY_FILE;
        Resolve(hLib, "_qvGetDLLVersion", 1, GetParam(), &x.pGetDLLVersion);
        Resolve(hLib, "_qvIRC_bValidChannelName", 2, GetParam(), &x.pValidChannelName);
        Resolve(hLib, "_qvIRC_bValidServerName", 3, GetParam(), &x.pValidServerName);
        Resolve(hLib, "_qvMemCpy", 4, GetParam(), &x.pMemCpy);
    }

    static LibHandle hLib;
    Exports x{};
};

LibHandle Ferrule::hLib = nullptr;

/* Each test runs in a process of its own, so here the version is the first
   call into the freshly loaded library. */
TEST_P(Ferrule, VersionIsOneBeforeAndAfterOtherCalls)
{
    EXPECT_EQ(x.pGetDLLVersion(), 1);
    char buf[4] = "abc";
    x.pMemCpy(buf + 1, buf, 2);
    x.pValidChannelName("#a");
    x.pValidServerName("a.b");
    EXPECT_EQ(x.pGetDLLVersion(), 1);
}

TEST_P(Ferrule, ChecksAnswerTheNameTable)
{
    struct {
        const char *text;
        int channel, server;
    } cases[] = {
        {"", 0, 0},
        {"#", 0, 0},
        {"&", 0, 0},
        {".", 0, 0},
        {"#a", 1, 0},
        {"&x", 1, 0},
        {"##", 1, 0},
        {"+x", 0, 0},
        {"ab", 0, 0},
        {"a.", 0, 0},
        {"a#b", 0, 0},
        {"abc", 0, 0},
        {"a.b", 0, 1},
        {".ab", 0, 1},
        {"ab.", 0, 1},
        {"...", 0, 1},
        {"#a.b", 1, 1},
        {"# a,b", 1, 0},
        /* Only the first character and the length count for a channel; only
           the length and a dot for a server. */
        {"#\x01\x7f", 1, 0},
        {"\xa3x", 0, 0},
        {"x#", 0, 0},
        {"&.", 1, 0},
        {"a..b", 0, 1},
        {".\t\r", 0, 1},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(x.pValidChannelName(c.text), c.channel) << "channel \"" << c.text << "\"";
        EXPECT_EQ(x.pValidServerName(c.text), c.server) << "server \"" << c.text << "\"";
    }
}

/* StrPos, which finds the dot, reaches position 32766 only; beyond it the
   library searches on, so a dot counts wherever it stands. */
TEST_P(Ferrule, ServerNamesBeyondSixteenBitPositions)
{
    struct {
        size_t length;
        long dot; /* -1: none */
        int server;
    } cases[] = {
        {32766, 32765, 1}, {32767, 32766, 1}, {32768, 32767, 1},  {32768, -1, 0},
        {40000, 0, 1},     {40000, 39999, 1}, {65537, 65536, 1},  {65537, -1, 0},
        {65546, 65541, 1}, {100000, -1, 0},   {100000, 99999, 1},
    };
    for (const auto &c : cases) {
        std::string text(c.length, 'a');
        if (c.dot >= 0)
            text[c.dot] = '.';
        EXPECT_EQ(x.pValidServerName(text.c_str()), c.server)
            << "length " << c.length << ", dot at " << c.dot;
    }
}

TEST_P(Ferrule, ChannelNamesHaveNoUpperLength)
{
    std::string text(100000, 'a');
    text[0] = '#';
    EXPECT_EQ(x.pValidChannelName(text.c_str()), 1);
    text[0] = 'a';
    EXPECT_EQ(x.pValidChannelName(text.c_str()), 0);
}

TEST_P(Ferrule, NullTextIsRejected)
{
    EXPECT_EQ(x.pValidChannelName(nullptr), 0);
    EXPECT_EQ(x.pValidServerName(nullptr), 0);
}

TEST_P(Ferrule, MemCpyRunsAwayFromOverlap)
{
    struct {
        int from, to, count;
        const char *after;
    } cases[] = {
        {0, 2, 4, "ababcd"}, /* destination above the source */
        {2, 0, 4, "cdefef"}, /* destination below the source */
        {0, 1, 5, "aabcde"}, {1, 0, 5, "bcdeff"}, {0, 0, 6, "abcdef"}, {3, 3, 2, "abcdef"},
        {0, 2, 0, "abcdef"}, {2, 0, 0, "abcdef"}, {5, 0, 1, "fbcdef"}, {0, 5, 1, "abcdea"},
    };
    for (const auto &c : cases) {
        char buf[7] = "abcdef";
        x.pMemCpy(buf + c.to, buf + c.from, c.count);
        EXPECT_STREQ(buf, c.after) << c.count << " bytes from " << c.from << " to " << c.to;
    }
}

TEST_P(Ferrule, MemCpyLeavesBytesAroundDestination)
{
    const int BUF_SIZE = 64, COPY_COUNT = 16, GUARD_BYTE = 0x5a;
    struct {
        int from, to;
    } cases[] = {{40, 8}, {8, 40}, {0, 48}, {48, 0}};
    for (const auto &c : cases) {
        unsigned char buf[BUF_SIZE];
        memset(buf, GUARD_BYTE, sizeof buf);
        for (int i = 0; i < COPY_COUNT; i++)
            buf[c.from + i] = (unsigned char)(i + 1);
        x.pMemCpy(buf + c.to, buf + c.from, COPY_COUNT);
        for (int i = 0; i < BUF_SIZE; i++) {
            int expected = GUARD_BYTE;
            if (i >= c.to && i < c.to + COPY_COUNT)
                expected = i - c.to + 1;
            else if (i >= c.from && i < c.from + COPY_COUNT)
                expected = i - c.from + 1;
            EXPECT_EQ(buf[i], expected) << "byte " << i << ", from " << c.from << " to " << c.to;
        }
    }
}

/* Outside the contract: a count of 0 touches neither address, and a negative
   count writes nothing. */
TEST_P(Ferrule, MemCpyWithoutPositiveCountWritesNothing)
{
    x.pMemCpy(nullptr, nullptr, 0);
    char buf[7] = "abcdef";
    x.pMemCpy(buf + 2, buf, -1);
    x.pMemCpy(buf, buf + 2, -4);
    x.pMemCpy(buf, buf + 2, INT_MIN);
    EXPECT_STREQ(buf, "abcdef");
}

#ifdef _WIN32
INSTANTIATE_TEST_SUITE_P(Exports, Ferrule, ::testing::Values(BY_NAME, BY_ORDINAL),
                         [](const ::testing::TestParamInfo<Lookup> &info) {
                             return std::string(info.param == BY_NAME ? "ByName" : "ByOrdinal");
                         });

TEST(FerruleExports, OrdinalsNameTheSameFunctions)
{
    HMODULE h = LoadLibraryA(LIBRARY_FILE);
    ASSERT_NE(h, nullptr);
    const char *names[] = {"_qvGetDLLVersion", "_qvIRC_bValidChannelName",
                           "_qvIRC_bValidServerName", "_qvMemCpy"};
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(FindExport(h, names[i], i + 1, BY_NAME),
                  FindExport(h, names[i], i + 1, BY_ORDINAL))
            << names[i];
    EXPECT_EQ(FindExport(h, nullptr, 5, BY_ORDINAL), nullptr);
    EXPECT_TRUE(CloseLibrary(h));
}
#else
INSTANTIATE_TEST_SUITE_P(Exports, Ferrule, ::testing::Values(BY_NAME),
                         [](const ::testing::TestParamInfo<Lookup> &) {
                             return std::string("ByName");
                         });
#endif

/* The attach and detach routine never refuses: the library loads again after
   each unload, also with threads starting and ending while it is loaded. */
TEST(FerruleLoading, LoadsAndUnloadsRepeatedly)
{
    for (int round = 0; round < 3; round++) {
        LibHandle h = OpenLibrary();
        ASSERT_NE(h, nullptr) << "round " << round;
        std::thread t([h] {
            auto p = reinterpret_cast<qvGetDLLVersionProc>(
                FindExport(h, "_qvGetDLLVersion", 1, BY_NAME));
            ASSERT_NE(p, nullptr);
            EXPECT_EQ(p(), 1);
        });
        t.join();
        EXPECT_TRUE(CloseLibrary(h)) << "round " << round;
    }
}

} // namespace
