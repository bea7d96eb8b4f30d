/* tests/shell/test_tray.cpp: the tray tip and the About box, opened from the
   real main window. */
#include "windowfixture.h"

TEST_F(MainWindow, TipIsCutTo63CharactersAndPaddedWithNuls)
{
    TrayCalls.clear();
    std::string longTip(70, 'x');
    longTip.replace(60, 5, "ABCDE");
    TaskBarIconAdd(g_hIcon, longTip.c_str());
    TaskBarIconAdd(g_hIcon, "Quillet - b.03a");
    ASSERT_EQ(TrayCalls.size(), 2u);
    EXPECT_EQ(Tip(TrayCalls[0]), longTip.substr(0, 63));
    EXPECT_EQ(TrayCalls[0].record.szTip[63], '\0');
    /* A short tip after a long one leaves nothing of the long one behind. */
    EXPECT_EQ(Tip(TrayCalls[1]), "Quillet - b.03a");
    for (int i = 15; i < 64; i++)
        EXPECT_EQ(TrayCalls[1].record.szTip[i], '\0') << "byte " << i;
    EXPECT_EQ(TrayCalls[1].record.hIcon, g_hIcon);
}

/* What the About box looked like while it was open. */
static bool bAboutOwnedByMain;
static bool bMainDisabled;
static int iAboutKey;

static HWND FindAbout(void)
{
    HWND about = FindOwnWindow(nullptr, "Quillet - About");
    return about != nullptr && IsWindowVisible(about) ? about : nullptr;
}

static bool InspectAndCloseAbout(void)
{
    HWND about = FindAbout();
    if (about == nullptr)
        return false;
    HWND ok = GetDlgItem(about, 1);
    bAboutOwnedByMain = GetWindow(about, GW_OWNER) == g_hWnd;
    bMainDisabled = !IsWindowEnabled(g_hWnd);
    PostMessageA(ok, iAboutKey == 0 ? BM_CLICK : WM_KEYDOWN, iAboutKey, 0);
    return true;
}

static void ForceAboutClosed(void)
{
    EndDialog(FindOwnWindow(nullptr, "Quillet - About"), 0);
}

TEST_F(MainWindow, AboutBoxIsModalAndClosesOnOkEnterAndEsc)
{
    struct Case {
        const char *what;
        WPARAM command; /* the About button, or the tray menu's About */
        int key;        /* 0: click Ok */
        bool shown;
    } cases[] = {{"Ok", 116, 0, true},
                 {"Enter", 116, VK_RETURN, true},
                 {"Esc", 116, VK_ESCAPE, true},
                 {"Enter, from the tray while hidden", 1016, VK_RETURN, false},
                 {"Esc, from the tray while hidden", 1016, VK_ESCAPE, false}};
    for (const Case &c : cases) {
        if (c.shown)
            Restore();
        else
            SendMessageA(g_hWnd, WM_COMMAND, 128, 0);
        ASSERT_EQ(IsWindowVisible(g_hWnd) != 0, c.shown);
        TrayCalls.clear();
        iAboutKey = c.key;
        bAboutOwnedByMain = bMainDisabled = false;

        StartTicker(InspectAndCloseAbout, ForceAboutClosed);
        EXPECT_EQ(MainDialogProc(g_hWnd, WM_COMMAND, c.command, 0), 1) << c.what;
        EXPECT_TRUE(StopTicker()) << c.what << ": the About box did not open, or did not close";

        EXPECT_TRUE(bAboutOwnedByMain) << c.what;
        EXPECT_TRUE(bMainDisabled) << c.what << ": the About box is modal";
        EXPECT_EQ(FindOwnWindow(nullptr, "Quillet - About"), nullptr)
            << c.what << " did not close it";
        EXPECT_TRUE(IsWindowEnabled(g_hWnd));
        EXPECT_EQ(IsWindowVisible(g_hWnd) != 0, c.shown) << c.what;
        EXPECT_TRUE(TrayCalls.empty()) << c.what;
    }
}

TEST(AboutDlgProc, AnswersOnlyWhatItHandles)
{
    EXPECT_EQ(AboutDlgProc(nullptr, WM_INITDIALOG, 0, 0), 1);
    EXPECT_EQ(AboutDlgProc(nullptr, WM_COMMAND, 3, 0), 0);
    EXPECT_EQ(AboutDlgProc(nullptr, WM_COMMAND, 116, 0), 0);
    EXPECT_EQ(AboutDlgProc(nullptr, WM_CLOSE, 0, 0), 0);
    EXPECT_EQ(AboutDlgProc(nullptr, WM_PAINT, 0, 0), 0);
}
