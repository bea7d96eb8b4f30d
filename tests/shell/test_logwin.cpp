/* tests/shell/test_logwin.cpp: the message log under load and under the
   operator's hand: writers never wait for the window, the text stays under
   its limit with the newest line last, and a selection or a scrolled-up
   view does not change where lines land. */
#include "windowfixture.h"

#include "../../common/logqueue.h"
#include "../../common/platform.h"

#include <stdio.h>
#include <thread>
#include <vector>

static double Seconds(void)
{
    LARGE_INTEGER now, freq;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&freq);
    return (double)now.QuadPart / (double)freq.QuadPart;
}

static const int LOAD_WRITERS = 4;
static const int LOAD_ROUNDS = 100;
static const int LINES_PER_ROUND = 1000;

static std::string LoadLine(int writer, int n)
{
    char text[96];
    snprintf(text, sizeof(text), "- IdentHandler writer %d line %06d ..................\r\n",
             writer, n);
    return text;
}

TEST_F(MainWindow, HundredThousandLinesStayUnderTheLimitWithTheNewestLast)
{
    int perWriter = LINES_PER_ROUND / LOAD_WRITERS;
    std::vector<double> msPerRound;
    int trimRound = -1;
    int previous = GetWindowTextLengthA(hwndMSG1);
    for (int round = 0; round < LOAD_ROUNDS; round++) {
        std::vector<std::thread> writers;
        for (int w = 0; w < LOAD_WRITERS; w++)
            writers.emplace_back([w, round, perWriter] {
                for (int i = 0; i < perWriter; i++)
                    MsgOut(LoadLine(w, round * perWriter + i).c_str());
            });
        for (std::thread &t : writers)
            t.join();
        double start = Seconds();
        ASSERT_TRUE(PumpUntilLogged(30000)) << "round " << round;
        msPerRound.push_back((Seconds() - start) * 1000.0);
        int len = GetWindowTextLengthA(hwndMSG1);
        ASSERT_LE(len, LOG_TEXT_LIMIT) << "round " << round;
        if (trimRound < 0 && len < previous)
            trimRound = round;
        previous = len;
    }
    std::thread([] { MsgOut("- IdentHandler the newest line\r\n"); }).join();
    ASSERT_TRUE(PumpUntilLogged(30000));

    ASSERT_GE(trimRound, 0) << "the log was never trimmed";
    ASSERT_LT(trimRound + 1, LOAD_ROUNDS);
    double after = 0;
    for (int r = trimRound + 1; r < LOAD_ROUNDS; r++)
        after += msPerRound[r];
    after /= LOAD_ROUNDS - trimRound - 1;
    printf("log: %d lines from %d threads; per thousand lines: first %.1f ms, first after the "
           "first trim %.1f ms, mean after it %.1f ms; first trim at %d lines\n",
           LOAD_ROUNDS * LINES_PER_ROUND, LOAD_WRITERS, msPerRound[0], msPerRound[trimRound + 1],
           after, (trimRound + 1) * LINES_PER_ROUND);

    std::string log = LogText();
    EXPECT_LE(log.size(), (size_t)LOG_TEXT_LIMIT);
    const std::string newest = "- IdentHandler the newest line\r\n";
    ASSERT_GE(log.size(), newest.size());
    EXPECT_EQ(log.substr(log.size() - newest.size()), newest);
    /* Whole lines went from the top: what is left of each writer is its
       latest lines, none missing, none cut. */
    int next[LOAD_WRITERS];
    for (int &n : next)
        n = -1;
    size_t at = 0;
    while (at < log.size() - newest.size()) {
        size_t end = log.find("\r\n", at);
        ASSERT_NE(end, std::string::npos);
        std::string text = log.substr(at, end + 2 - at);
        int w = -1, n = -1;
        ASSERT_EQ(sscanf(text.c_str(), "- IdentHandler writer %d line %d", &w, &n), 2) << text;
        ASSERT_TRUE(w >= 0 && w < LOAD_WRITERS) << text;
        ASSERT_EQ(text, LoadLine(w, n));
        if (next[w] >= 0) {
            ASSERT_EQ(n, next[w]) << "writer " << w << " lost a line";
        }
        next[w] = n + 1;
        at = end + 2;
    }
    for (int w = 0; w < LOAD_WRITERS; w++)
        EXPECT_EQ(next[w], LOAD_ROUNDS * perWriter) << "writer " << w;
}

TEST_F(MainWindow, MsgOutReturnsWhileTheWindowThreadIsBusy)
{
    HANDLE written = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::thread writer([written] {
        for (int n = 0; n < 100; n++)
            MsgOut("- IdentHandler no match found\r\n");
        SetEvent(written);
    });
    /* This thread, the window's, takes no messages meanwhile. */
    DWORD waited = WaitForSingleObject(written, 10000);
    EXPECT_EQ(waited, WAIT_OBJECT_0) << "MsgOut waited for the window's thread";
    /* Had it waited, the messages it waits on are taken now, so that the
       test ends. */
    while (MsgWaitForMultipleObjects(1, &written, FALSE, 10000, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
    }
    writer.join();
    CloseHandle(written);
    ASSERT_TRUE(PumpUntilLogged(10000));
    std::string expected;
    for (int n = 0; n < 100; n++)
        expected += "- IdentHandler no match found\r\n";
    EXPECT_EQ(LogText(), expected);
}

static void LogFromAnotherThread(const char *text)
{
    std::thread([text] { MsgOut(text); }).join();
    ASSERT_TRUE(PumpUntilLogged(10000));
}

static DWORD SelectionStart(DWORD *end)
{
    DWORD start = 0;
    SendMessageA(hwndMSG1, EM_GETSEL, (WPARAM)&start, (LPARAM)end);
    return start;
}

static int FirstVisible(void)
{
    return (int)SendMessageA(hwndMSG1, EM_GETFIRSTVISIBLELINE, 0, 0);
}

TEST_F(MainWindow, SelectionAndScrolledViewDoNotMoveWhereLinesLand)
{
    Restore();
    for (int n = 0; n < 200; n++)
        MsgOut("- IdentHandler no match found\r\n");
    std::string expected = LogText();

    /* The operator selects part of the first line and scrolls to the top. */
    SendMessageA(hwndMSG1, EM_SETSEL, 2, 9);
    SendMessageA(hwndMSG1, EM_LINESCROLL, 0, -1000);
    ASSERT_EQ(FirstVisible(), 0);
    LogFromAnotherThread("- ClientHandler Quit received on node <3>\r\n");
    SendMessageA(GetDlgItem(g_hWnd, 1008), BM_CLICK, 0, 0);
    expected += "- ClientHandler Quit received on node <3>\r\nSorry, No Help available yet!\r\n";
    EXPECT_EQ(LogText(), expected);
    DWORD end = 0;
    EXPECT_EQ(SelectionStart(&end), 2u);
    EXPECT_EQ(end, 9u);
    EXPECT_EQ(FirstVisible(), 0) << "the operator's view moved";

    /* A caret alone, moved into the text, does not draw lines to it. */
    SendMessageA(hwndMSG1, EM_SETSEL, 5, 5);
    LogFromAnotherThread("- IdentHandler match found on node <3>\r\n");
    expected += "- IdentHandler match found on node <3>\r\n";
    EXPECT_EQ(LogText(), expected);
    EXPECT_EQ(SelectionStart(&end), 5u);

    /* A caret at the end with the end in view follows the log. */
    DWORD len = (DWORD)GetWindowTextLengthA(hwndMSG1);
    SendMessageA(hwndMSG1, EM_SETSEL, len, len);
    SendMessageA(hwndMSG1, EM_SCROLLCARET, 0, 0);
    int first = FirstVisible();
    ASSERT_GT(first, 0);
    LogFromAnotherThread("- IdentHandler no match found\r\n");
    len = (DWORD)GetWindowTextLengthA(hwndMSG1);
    EXPECT_EQ(SelectionStart(&end), len);
    EXPECT_EQ(end, len);
    EXPECT_EQ(FirstVisible(), first + 1) << "the view did not follow the new line";
}

TEST_F(MainWindow, ShutDownAppendsWhatIsStillQueued)
{
    std::thread([] { MsgOut("- IdentHandler no match found\r\n"); }).join();
    ShutDown();
    EXPECT_EQ(LogText(), "- IdentHandler no match found\r\n");
}
