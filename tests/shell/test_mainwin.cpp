/* tests/shell/test_mainwin.cpp: the main window made from its template and
   driven with real messages: start-up, commands, hiding and restoring, the
   tray callback, the message log and the layout. The numbers are the
   window's external ones, written out rather than taken from the program's
   header. */
#include "windowfixture.h"

#include "../../common/platform.h"
#include "../../common/state.h"

#include <commctrl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <thread>

static const char HELP_LINE[] = "Sorry, No Help available yet!\r\n";

static void ExpectTrayRecord(const TrayCall &call)
{
#ifdef _WIN64
    EXPECT_EQ(call.record.cbSize, 104u);
#else
    EXPECT_EQ(call.record.cbSize, 88u);
#endif
    EXPECT_EQ(call.record.hWnd, g_hWnd);
    EXPECT_EQ(call.record.uID, 1014u);
    EXPECT_EQ(call.record.uFlags, 7u);
    EXPECT_EQ(call.record.uCallbackMessage, 0x401u);
    EXPECT_NE(call.record.hIcon, nullptr);
    EXPECT_EQ(call.record.hIcon, g_hIcon);
    EXPECT_EQ(Tip(call), "Quillet - b.03a");
    EXPECT_EQ(call.record.szTip[63], '\0');
}

TEST_F(MainWindow, StartsHiddenWithEmptyLogAndWaitingStatus)
{
    EXPECT_FALSE(IsWindowVisible(g_hWnd));
    char title[64] = "";
    GetWindowTextA(g_hWnd, title, sizeof(title));
    EXPECT_STREQ(title, "Quillet - b.03a");

    /* The log's first lines are the services' (stood in for here). */
    EXPECT_EQ(LogText(), "");
    EXPECT_EQ(StatusText(), "Quillet - Ready & Waiting");
    int parts[2] = {0, 0};
    EXPECT_EQ(SendMessageA(hwndStatusBar, SB_GETPARTS, 2, (LPARAM)parts), 2);
    EXPECT_EQ(parts[1], -1);
    EXPECT_EQ(GetDlgCtrlID(hwndStatusBar), 1007);

    EXPECT_EQ(pServicesWindow, (void *)g_hWnd) << "the host link is given the window";

    ASSERT_EQ(TrayCalls.size(), 1u);
    EXPECT_EQ(TrayCalls[0].message, (DWORD)NIM_ADD);
    ExpectTrayRecord(TrayCalls[0]);
}

static bool CloseOpenMenu(void)
{
    HWND menuWindow = FindOwnWindow("#32768", nullptr);
    if (menuWindow == nullptr || !IsWindowVisible(menuWindow))
        return false;
    EndMenu();
    return true;
}

TEST_F(MainWindow, ShutDownStopsTheServicesTakesTheIconDownAndFreesTheMenu)
{
    /* A right click on the icon leaves its copy of the menu loaded. */
    StartTicker(CloseOpenMenu, [] { EndMenu(); });
    EXPECT_EQ(MainDialogProc(g_hWnd, 0x401, 1014, WM_RBUTTONDOWN), 1);
    ASSERT_TRUE(StopTicker()) << "the menu did not open, or did not close";
    HMENU menu = g_hMenu;
    ASSERT_TRUE(IsMenu(menu));

    TrayCalls.clear();
    ShutDown();
    EXPECT_TRUE(bServicesStopped);
    ASSERT_EQ(TrayCalls.size(), 1u);
    EXPECT_EQ(TrayCalls[0].message, (DWORD)NIM_DELETE);
    EXPECT_EQ(TrayCalls[0].record.hWnd, g_hWnd);
    EXPECT_EQ(TrayCalls[0].record.uID, 1014u);
    EXPECT_FALSE(IsMenu(menu)) << "the menu is freed at shut-down";
    EXPECT_EQ(g_hMenu, nullptr);
}

TEST_F(MainWindow, HelpAppendsOneLinePerPress)
{
    Restore();
    HWND help = GetDlgItem(g_hWnd, 1008);
    std::string expected;
    for (int press = 1; press <= 3; press++) {
        SendMessageA(help, BM_CLICK, 0, 0);
        expected += HELP_LINE;
        EXPECT_EQ(LogText(), expected) << "after press " << press;
    }
}

TEST_F(MainWindow, QuitCommandsPostQuit)
{
    const WPARAM quits[] = {2 /* Esc, close box, Alt+F4 */, 106 /* Quit button */,
                            1013 /* tray menu Quit */};
    for (WPARAM command : quits) {
        int code = -1;
        EXPECT_EQ(MainDialogProc(g_hWnd, WM_COMMAND, command, 0), 1) << command;
        EXPECT_TRUE(TakeQuit(&code)) << command;
        EXPECT_EQ(code, 0);
        SendMessageA(g_hWnd, WM_COMMAND, command, 0);
        EXPECT_TRUE(TakeQuit(&code)) << command;
        EXPECT_TRUE(IsWindow(g_hWnd));
    }
    EXPECT_EQ(TrayCalls.size(), 1u) << "quitting hides nothing and adds no icon";
}

TEST_F(MainWindow, OkAndCommandsWithANotificationCodeDoNothing)
{
    Restore();
    const WPARAM ignored[] = {1,                            /* IDOK: Enter with no button focused */
                              MAKEWPARAM(122, EN_SETFOCUS), /* the message box taking the focus */
                              MAKEWPARAM(122, EN_KILLFOCUS),
                              MAKEWPARAM(106, 1),
                              MAKEWPARAM(2, 1),
                              MAKEWPARAM(1008, 1),
                              MAKEWPARAM(128, 1),
                              MAKEWPARAM(116, 1),
                              MAKEWPARAM(1012, 1),
                              9999};
    for (WPARAM command : ignored) {
        EXPECT_EQ(MainDialogProc(g_hWnd, WM_COMMAND, command, 0), 0) << std::hex << command;
        SendMessageA(g_hWnd, WM_COMMAND, command, 0);
        int code;
        EXPECT_FALSE(TakeQuit(&code)) << std::hex << command;
    }
    EXPECT_EQ(LogText(), "");
    EXPECT_TRUE(IsWindowVisible(g_hWnd));
    EXPECT_TRUE(TrayCalls.empty());
}

/* Runs the real message loop after a key or command was posted, which
   must end it by quitting: the loop ends in time, on its own quit (none is
   left waiting), with the window still shown. */
static bool bLoopGaveUp;

static void ExpectLoopEnds(const char *what)
{
    bLoopGaveUp = false;
    StartTicker([] { return false; },
                [] {
                    bLoopGaveUp = true;
                    PostQuitMessage(99);
                });
    MessageLoop();
    StopTicker();
    EXPECT_FALSE(bLoopGaveUp) << what << " did not end the loop";
    EXPECT_TRUE(IsWindowVisible(g_hWnd)) << what << " quits; it does not hide";
    MSG msg;
    EXPECT_FALSE(PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE));
}

TEST_F(MainWindow, EscapeThroughTheMessageLoopQuits)
{
    Restore();
    /* The loop's dialog handling turns Esc into command 2. */
    PostMessageA(GetDlgItem(g_hWnd, 1008), WM_KEYDOWN, VK_ESCAPE, 0);
    ExpectLoopEnds("Esc");
    EXPECT_EQ(LogText(), "");
}

TEST_F(MainWindow, CloseBoxAndAltF4EndTheMessageLoop)
{
    struct Case {
        const char *what;
        HWND (*target)(void);
        UINT msg;
        WPARAM wParam;
        LPARAM lParam;
    } cases[] = {
        /* What a click on the close box sends. */
        {"close box", [] { return g_hWnd; }, WM_SYSCOMMAND, SC_CLOSE, 0},
        /* F4 pressed with Alt held (bit 29), on the control with the focus. */
        {"Alt+F4", [] { return GetDlgItem(g_hWnd, 1008); }, WM_SYSKEYDOWN, VK_F4, 0x20000001},
    };
    for (const Case &c : cases) {
        Restore();
        PostMessageA(c.target(), c.msg, c.wParam, c.lParam);
        ExpectLoopEnds(c.what);
    }
    EXPECT_EQ(LogText(), "");
}

/* Takes this thread's messages until done() or ms have passed; done()'s
   last answer. */
static bool PumpUntil(bool (*done)(void), DWORD ms)
{
    DWORD deadline = GetTickCount() + ms;
    while (!done() && GetTickCount() < deadline) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
    }
    return done();
}

static HWND hwndUserErrBox;
static LONG bUserErrReturned;
static LONG iUserErrResult;

TEST_F(MainWindow, UserErrBoxLeavesTheWindowWorking)
{
    Restore();
    hwndUserErrBox = nullptr;
    bUserErrReturned = 0;
    iUserErrResult = -1;
    /* As the host server link does, from a thread of its own. */
    std::thread([] {
        InterlockedExchange(&iUserErrResult, UserErr("Unable to connect to Create Context"));
        InterlockedExchange(&bUserErrReturned, 1);
    }).detach();
    bool bOpen = PumpUntil(
        [] { return (hwndUserErrBox = FindOwnWindow("#32770", "Quillet")) != nullptr; }, 20000);
    ASSERT_TRUE(bOpen) << "no box titled Quillet";
    EXPECT_EQ(InterlockedCompareExchange(&bUserErrReturned, 0, 0), 0)
        << "returned before the box closed";

    /* The box has no owner: the window is not disabled behind it and goes
       on taking its commands. */
    EXPECT_EQ(GetWindow(hwndUserErrBox, GW_OWNER), nullptr);
    EXPECT_TRUE(IsWindowEnabled(g_hWnd)) << "the box disabled the main window";
    PostMessageA(g_hWnd, WM_COMMAND, 1008, 0);
    PumpUntil([] { return !LogText().empty(); }, 5000);
    EXPECT_EQ(LogText(), HELP_LINE);

    /* Closed from outside, as the user's OK does: UserErr returns. */
    PostMessageA(hwndUserErrBox, WM_COMMAND, IDOK, 0);
    EXPECT_TRUE(
        PumpUntil([] { return InterlockedCompareExchange(&bUserErrReturned, 0, 0) == 1; }, 10000))
        << "UserErr did not return after its box closed";
    EXPECT_EQ(InterlockedCompareExchange(&iUserErrResult, 0, 0), IDOK);
}

TEST_F(MainWindow, HideButtonAndMinimiseHideToTheTray)
{
    struct Case {
        const char *what;
        UINT msg;
        WPARAM wParam;
    } cases[] = {{"Hide button", WM_COMMAND, 128}, {"minimise", WM_SYSCOMMAND, SC_MINIMIZE}};
    for (const Case &c : cases) {
        Restore();
        ASSERT_TRUE(IsWindowVisible(g_hWnd));
        SendMessageA(g_hWnd, c.msg, c.wParam, 0);
        EXPECT_FALSE(IsWindowVisible(g_hWnd)) << c.what;
        EXPECT_FALSE(IsIconic(g_hWnd)) << c.what << " must hide, not minimise";
        ASSERT_EQ(TrayCalls.size(), 1u) << c.what;
        EXPECT_EQ(TrayCalls[0].message, (DWORD)NIM_ADD);
        ExpectTrayRecord(TrayCalls[0]);
    }
    EXPECT_EQ(MainDialogProc(g_hWnd, WM_SYSCOMMAND, SC_MINIMIZE, 0), 1);
    /* Other system commands are left to the system. */
    EXPECT_EQ(MainDialogProc(g_hWnd, WM_SYSCOMMAND, SC_MAXIMIZE, 0), 0);
    EXPECT_EQ(MainDialogProc(g_hWnd, WM_SYSCOMMAND, SC_CLOSE, 0), 0);
}

TEST_F(MainWindow, RestoreShowsTheWindowRestoredAndRemovesTheIcon)
{
    Restore();
    ShowWindow(g_hWnd, SW_MAXIMIZE);
    SendMessageA(g_hWnd, WM_COMMAND, 128, 0);
    ASSERT_FALSE(IsWindowVisible(g_hWnd));
    TrayCalls.clear();

    EXPECT_EQ(MainDialogProc(g_hWnd, WM_COMMAND, 1012, 0), 1);
    EXPECT_TRUE(IsWindowVisible(g_hWnd));
    EXPECT_FALSE(IsZoomed(g_hWnd));
    EXPECT_FALSE(IsIconic(g_hWnd));
    EXPECT_EQ(GetForegroundWindow(), g_hWnd);
    ASSERT_EQ(TrayCalls.size(), 1u);
    EXPECT_EQ(TrayCalls[0].message, (DWORD)NIM_DELETE);
    EXPECT_EQ(TrayCalls[0].record.hWnd, g_hWnd);
    EXPECT_EQ(TrayCalls[0].record.uID, 1014u);
}

/* What the tray menu showed while it was open. */
static std::vector<std::string> MenuSeen;
static std::vector<UINT> MenuIdsSeen;

static bool InspectAndCloseMenu(void)
{
    HWND menuWindow = FindOwnWindow("#32768", nullptr);
    if (menuWindow == nullptr || !IsWindowVisible(menuWindow))
        return false;
    HMENU menu = (HMENU)SendMessageA(menuWindow, MN_GETHMENU, 0, 0);
    for (int i = 0; i < GetMenuItemCount(menu); i++) {
        char text[64] = "";
        GetMenuStringA(menu, i, text, sizeof(text), MF_BYPOSITION);
        MenuSeen.push_back(text);
        MenuIdsSeen.push_back(GetMenuItemID(menu, i));
    }
    EndMenu();
    return true;
}

TEST_F(MainWindow, TrayCallbackOpensTheMenuOnlyOnRightButtonDown)
{
    struct Case {
        WPARAM wParam;
        LPARAM lParam;
    } ignored[] = {{1014, WM_LBUTTONDOWN}, {1014, WM_LBUTTONUP},     {1014, WM_LBUTTONDBLCLK},
                   {1014, WM_RBUTTONUP},   {1014, WM_RBUTTONDBLCLK}, {1014, WM_MOUSEMOVE},
                   {1014, WM_MBUTTONDOWN}, {1013, WM_RBUTTONDOWN},   {0, WM_RBUTTONDOWN}};
    for (const Case &c : ignored) {
        EXPECT_EQ(MainDialogProc(g_hWnd, 0x401, c.wParam, c.lParam), 0)
            << c.wParam << " " << std::hex << c.lParam;
        EXPECT_EQ(g_hMenu, nullptr);
    }

    HMENU previous = nullptr;
    for (int click = 0; click < 2; click++) {
        MenuSeen.clear();
        MenuIdsSeen.clear();
        StartTicker(InspectAndCloseMenu, [] { EndMenu(); });
        EXPECT_EQ(MainDialogProc(g_hWnd, 0x401, 1014, WM_RBUTTONDOWN), 1);
        EXPECT_TRUE(StopTicker()) << "the menu did not open, or did not close";
        EXPECT_EQ(MenuSeen, (std::vector<std::string>{"&About", "&Restore", "", "&Quit"}));
        EXPECT_EQ(MenuIdsSeen, (std::vector<UINT>{1016, 1012, 0, 1013}));
        EXPECT_EQ(GetMenuState(g_hPopup, 2, MF_BYPOSITION) & MF_SEPARATOR, (UINT)MF_SEPARATOR);
        /* Each click loads its own copy of the menu. */
        EXPECT_NE(g_hMenu, nullptr);
        EXPECT_EQ(GetSubMenu(g_hMenu, 0), g_hPopup);
        if (previous != nullptr) {
            EXPECT_FALSE(IsMenu(previous)) << "the earlier copy is freed";
        }
        previous = g_hMenu;

        bool nullPosted = false;
        MSG msg;
        while (PeekMessageA(&msg, g_hWnd, 0, 0, PM_REMOVE))
            nullPosted = nullPosted || msg.message == WM_NULL;
        EXPECT_TRUE(nullPosted);
    }
    EXPECT_FALSE(IsWindowVisible(g_hWnd)) << "closing the menu changes nothing";
}

TEST_F(MainWindow, TaskbarCreatedPutsTheIconBackOnlyWhileHidden)
{
    UINT taskbarCreated = RegisterWindowMessageA("TaskbarCreated");
    TrayCalls.clear();
    SendMessageA(g_hWnd, taskbarCreated, 0, 0);
    ASSERT_EQ(TrayCalls.size(), 1u);
    EXPECT_EQ(TrayCalls[0].message, (DWORD)NIM_ADD);
    ExpectTrayRecord(TrayCalls[0]);

    Restore();
    SendMessageA(g_hWnd, taskbarCreated, 0, 0);
    EXPECT_TRUE(TrayCalls.empty()) << "a shown window has no icon to put back";
}

TEST_F(MainWindow, LogKeepsGrowingPastTheBoxDefaultLimit)
{
    std::string expected;
    char line[128];
    for (int i = 0; expected.size() < 100000; i++) {
        snprintf(line, sizeof(line), "- IdentHandler match found on node <%i> %s\r\n", i % 256,
                 "...................................................");
        MsgOut(line);
        expected += line;
    }
    const char last[] = "- IdentHandler no match found\r\n";
    MsgOut(last);
    expected += last;
    std::string log = LogText();
    EXPECT_GT(log.size(), 100000u);
    EXPECT_EQ(log.size(), expected.size());
    EXPECT_TRUE(log == expected) << "the log lost or changed text";
}

/* Several writers at once, each with texts of its own. */
static const int WRITERS = 4;
static const int TEXTS_PER_WRITER = 60;

static std::string WriterText(int writer, int n)
{
    char text[128];
    snprintf(text, sizeof(text), "- writer %d text %03d %.*s\r\n", writer, n, 20 + writer * 7,
             "abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyz0123456789");
    return text;
}

TEST_F(MainWindow, MsgOutFromSeveralThreadsInsertsEachTextWhole)
{
    std::vector<std::thread> writers;
    LONG finished = 0;
    for (int w = 0; w < WRITERS; w++)
        writers.emplace_back([w, &finished] {
            for (int n = 0; n < TEXTS_PER_WRITER; n++)
                MsgOut(WriterText(w, n).c_str());
            InterlockedIncrement(&finished);
        });
    /* The writes are carried out here, on the window's thread, as it waits
       for messages. */
    DWORD deadline = GetTickCount() + 20000;
    while (InterlockedCompareExchange(&finished, 0, 0) < WRITERS && GetTickCount() < deadline) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
    }
    for (std::thread &t : writers)
        t.join();
    /* Writers no longer wait for the window: their texts may still be
       queued when they finish. */
    ASSERT_TRUE(PumpUntilLogged(20000));

    std::string log = LogText();
    int next[WRITERS] = {0};
    size_t at = 0;
    while (at < log.size()) {
        size_t end = log.find("\r\n", at);
        ASSERT_NE(end, std::string::npos) << "a text lost its line end";
        std::string text = log.substr(at, end + 2 - at);
        int writer = -1;
        ASSERT_EQ(sscanf(text.c_str(), "- writer %d", &writer), 1) << text;
        ASSERT_TRUE(writer >= 0 && writer < WRITERS) << text;
        EXPECT_EQ(text, WriterText(writer, next[writer])) << "a text was split or mixed";
        next[writer]++;
        at = end + 2;
    }
    for (int w = 0; w < WRITERS; w++)
        EXPECT_EQ(next[w], TEXTS_PER_WRITER) << "writer " << w;
}

TEST_F(MainWindow, SizeMovesTheStatusBarAndTheMessageBox)
{
    Restore();
    /* Resize the window itself, so that the status bar, which places itself
       against its parent's client area, agrees with the layout. */
    RECT outer = {0, 0, 700, 500};
    AdjustWindowRectEx(&outer, GetWindowLongA(g_hWnd, GWL_STYLE), FALSE,
                       GetWindowLongA(g_hWnd, GWL_EXSTYLE));
    SetWindowPos(g_hWnd, nullptr, 0, 0, outer.right - outer.left, outer.bottom - outer.top,
                 SWP_NOMOVE | SWP_NOZORDER);
    RECT client;
    GetClientRect(g_hWnd, &client);
    ASSERT_EQ(client.right, 700);
    ASSERT_EQ(client.bottom, 500);

    int parts[2] = {0, 0};
    SendMessageA(hwndStatusBar, SB_GETPARTS, 2, (LPARAM)parts);
    EXPECT_EQ(parts[0], 350);
    EXPECT_EQ(parts[1], -1);
    RECT bar;
    GetWindowRect(hwndStatusBar, &bar);
    MapWindowPoints(nullptr, g_hWnd, (POINT *)&bar, 2);
    EXPECT_EQ(bar.left, 0);
    EXPECT_EQ(bar.right, 700);
    EXPECT_EQ(bar.bottom, 500);

    /* The margins were measured from the template's layout: the box keeps
       its corner at 130, 17 dialog units and its right and bottom margins. */
    ASSERT_GT(iMsgXBorder, 0);
    ASSERT_GT(iMsgYBorder, 0);
    RECT mapped = {130, 17, 0, 0};
    MapDialogRect(g_hWnd, &mapped);
    RECT box;
    GetWindowRect(hwndMSG1, &box);
    MapWindowPoints(nullptr, g_hWnd, (POINT *)&box, 2);
    EXPECT_NEAR(box.left, mapped.left, 1);
    EXPECT_NEAR(box.top, mapped.top, 1);
    EXPECT_EQ(box.right, 700 - iMsgXBorder);
    EXPECT_EQ(box.bottom, 500 - iMsgYBorder);
}

static std::string ControlText(HWND control)
{
    char text[64] = "";
    GetWindowTextA(control, text, sizeof(text));
    return text;
}

/* The field beside a caption, found as the user finds it: the nearest
   edit control on the caption's row, right of it. */
static HWND FieldBeside(const char *caption)
{
    RECT c = {0, 0, 0, 0}, r;
    for (HWND w = GetWindow(g_hWnd, GW_CHILD); w != nullptr; w = GetWindow(w, GW_HWNDNEXT))
        if (ControlText(w) == caption)
            GetWindowRect(w, &c);
    HWND nearest = nullptr;
    LONG nearestLeft = 0;
    for (HWND w = GetWindow(g_hWnd, GW_CHILD); w != nullptr; w = GetWindow(w, GW_HWNDNEXT)) {
        char cls[8] = "";
        GetClassNameA(w, cls, sizeof(cls));
        GetWindowRect(w, &r);
        if (lstrcmpiA(cls, "Edit") == 0 && r.left >= c.right && r.top < c.bottom &&
            r.bottom > c.top && (nearest == nullptr || r.left < nearestLeft)) {
            nearest = w;
            nearestLeft = r.left;
        }
    }
    return nearest;
}

/* The counts are raised by handler threads; the window must pick them up
   by itself, on its own thread, and show each beside its caption, which
   keeps its text. */
TEST_F(MainWindow, StatisticsFieldsFollowTheCounters)
{
    HWND connects = FieldBeside("Client Connects"), quits = FieldBeside("Client Quits"),
         requests = FieldBeside("Server Requests");
    ASSERT_NE(connects, nullptr);
    ASSERT_NE(quits, nullptr);
    ASSERT_NE(requests, nullptr);

    std::thread([] {
        iRcvdClientConnects = 12;
        iRcvdClientQuits = 5;
        iRcvdIdentRequests = 31;
    }).join();
    int64_t deadline = PlatTickMs() + 3000;
    MSG msg;
    while (ControlText(requests) != "31" && PlatTickMs() < deadline) {
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
        PlatSleep(20);
    }
    EXPECT_EQ(ControlText(connects), "12");
    EXPECT_EQ(ControlText(quits), "5");
    EXPECT_EQ(ControlText(requests), "31");
    EXPECT_NE(FieldBeside("Client Connects"), nullptr) << "the caption lost its text";
    iRcvdClientConnects = iRcvdClientQuits = iRcvdIdentRequests = 0;
}

/* The service's window finds the kept log where the service writes it:
   the --log-dir of the service's command line, split as the C runtime
   splits it for the service. */
TEST(ServiceWindow, LogDirIsTheOneTheServiceReads)
{
    struct {
        const char *command;
        int result;
        const char *dir;
    } cases[] = {
        {"\"C:\\Program Files\\Quillet\\quillet.exe\" --service --wait-for-host --irc-names "
         "--log-dir=\"C:\\ProgramData\\Quillet\\Logs\"",
         0, "C:\\ProgramData\\Quillet\\Logs"},
        {"C:\\Quillet\\quillet.exe --service --log-dir=D:\\Logs --log-days=9", 0, "D:\\Logs"},
        {"quillet.exe --service \"--log-dir=D:\\Board Logs\" --wait-for-host", 0, "D:\\Board Logs"},
        {"\"C:\\Program Files\\Quillet\\quillet.exe\" --service --wait-for-host", 0, ""},
        {"quillet.exe --service --no-such-switch --log-dir=D:\\Logs", -1, nullptr},
    };
    for (const auto &c : cases) {
        char dir[SWITCH_DIR_SIZE] = "unchanged";
        EXPECT_EQ(ServiceLogDir(c.command, dir, sizeof(dir)), c.result) << c.command;
        if (c.dir != nullptr) {
            EXPECT_STREQ(dir, c.dir) << c.command;
        }
    }
}

/* The copies the test below starts: this program under the name
   quillet.exe, which says it is up, then marks itself as the service's
   window after the time it is given, or never, and ends before any test. */
static const int iStartingCopy = [] {
    char after[16] = "";
    if (GetEnvironmentVariableA("QUILLET_TEST_MARK_AFTER_MS", after, sizeof(after)) == 0)
        return 0;
    CreateEventA(nullptr, TRUE, TRUE, "QuilletTestCopyUp");
    if (atoi(after) >= 0) {
        Sleep((DWORD)atoi(after));
        MarkViewer();
    }
    Sleep(6000);
    ExitProcess(0);
}();

/* A quillet.exe that becomes the service's window soon after it starts
   does not stop the starting service; one that stays unmarked does. */
TEST(ServiceStart, OnlyACopyThatStaysUnmarkedServes)
{
    char self[MAX_PATH];
    ASSERT_NE(GetModuleFileNameA(nullptr, self, sizeof(self)), 0u);
    std::string copy = self;
    copy = copy.substr(0, copy.find_last_of('\\') + 1) + "quillet.exe";
    ASSERT_TRUE(CopyFileA(self, copy.c_str(), FALSE));
    struct {
        const char *markAfterMs;
        int stays;
    } cases[] = {{"300", 0}, {"-1", 1}};
    for (const auto &c : cases) {
        SetEnvironmentVariableA("QUILLET_TEST_MARK_AFTER_MS", c.markAfterMs);
        std::string line = "quillet.exe";
        STARTUPINFOA si = {};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi;
        ASSERT_TRUE(CreateProcessA(copy.c_str(), &line[0], nullptr, nullptr, FALSE, 0, nullptr,
                                   nullptr, &si, &pi));
        HANDLE up = nullptr;
        for (int i = 0; i < 300 && up == nullptr; i++, Sleep(50))
            up = OpenEventA(SYNCHRONIZE, FALSE, "QuilletTestCopyUp");
        EXPECT_NE(up, nullptr) << "the copy did not start";
        EXPECT_EQ(bOtherQuilletStays(2000), c.stays) << "marked after " << c.markAfterMs << " ms";
        TerminateProcess(pi.hProcess, 0);
        WaitForSingleObject(pi.hProcess, 5000);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
        if (up != nullptr)
            CloseHandle(up);
    }
    SetEnvironmentVariableA("QUILLET_TEST_MARK_AFTER_MS", nullptr);
    DeleteFileA(copy.c_str());
}
