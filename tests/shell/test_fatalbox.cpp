/* tests/shell/test_fatalbox.cpp: the box shown when the program must end
   for want of its host server closes itself, so the program does end. */
#include "shellprobe.h"

#include "../../common/platform.h"

#include <gtest/gtest.h>
#include <string.h>
#include <string>

static const char REASON[] = "Unable to connect to WINS Server";

static HWND hwndSeenBox;
static std::string sSeenTitle, sSeenText;

static BOOL CALLBACK FindBox(HWND hwnd, LPARAM)
{
    char className[16] = "";
    GetClassNameA(hwnd, className, sizeof(className));
    if (strcmp(className, "#32770") != 0)
        return TRUE;
    hwndSeenBox = hwnd;
    return FALSE;
}

static BOOL CALLBACK ReadChild(HWND hwnd, LPARAM)
{
    char text[128] = "";
    GetWindowTextA(hwnd, text, sizeof(text));
    if (strcmp(text, REASON) == 0)
        sSeenText = text;
    return TRUE;
}

/* Looks at the box while it is up, without touching it. */
static bool SeeBox(void)
{
    hwndSeenBox = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), FindBox, 0);
    if (hwndSeenBox == nullptr)
        return false;
    char title[64] = "";
    GetWindowTextA(hwndSeenBox, title, sizeof(title));
    sSeenTitle = title;
    EnumChildWindows(hwndSeenBox, ReadChild, 0);
    return true;
}

/* The box did not close itself: close it so the test can end. */
static void CloseBox(void)
{
    if (hwndSeenBox != nullptr)
        PostMessageA(hwndSeenBox, WM_COMMAND, IDOK, 0);
}

TEST(FatalBox, ShowsTheReasonThenClosesItself)
{
    EXPECT_EQ(FATAL_BOX_CLOSE_MS, 30000u);

    StartTicker(SeeBox, CloseBox);
    DWORD start = GetTickCount();
    int result = FatalBox(REASON, 500);
    DWORD took = GetTickCount() - start;
    EXPECT_TRUE(StopTicker()) << "the box was not seen, or did not close itself";
    EXPECT_EQ(result, IDOK);
    EXPECT_EQ(sSeenTitle, "Quillet");
    EXPECT_EQ(sSeenText, REASON);
    EXPECT_GE(took, 400u);
    EXPECT_LT(took, 8000u);
}

/* While the box says why this copy is ending, which may be for 30 s, a new
   copy must be able to start: the instance mutex goes before the box. */
static int iClaimWhileBoxUp = -1;

static bool ClaimWhileBoxUp(void)
{
    if (!SeeBox())
        return false;
    iClaimWhileBoxUp = ClaimInstance();
    CloseBox();
    return true;
}

TEST(FatalBox, FatalErrLetsANewCopyStartWhileTheBoxIsUp)
{
    ASSERT_EQ(ClaimInstance(), INSTANCE_CLAIMED);
    EXPECT_EQ(ClaimInstance(), INSTANCE_TAKEN) << "a second copy was let in";

    StartTicker(ClaimWhileBoxUp, CloseBox);
    FatalErr(REASON);
    EXPECT_TRUE(StopTicker()) << "the box was not seen";
    EXPECT_EQ(iClaimWhileBoxUp, INSTANCE_CLAIMED)
        << "the mutex was still held while the box was up";
    ReleaseInstance();
}
