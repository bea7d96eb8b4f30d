/* shell/stats.cpp: the Statistics group's counts, copied from the service
   counters by a timer on the window's thread, so that no handler thread
   ever waits on the window. */
#include "shell.h"

#include "resource.h"
#include "../common/state.h"

#include <stdio.h>

/* A few refreshes a second: quick enough to watch, cheap when idle. */
const UINT STATS_REFRESH_MS = 250;

/* The counts last written, so an unchanged field is not redrawn. -1 until
   the first refresh. */
static int aShownCounts[3] = {-1, -1, -1};

/* The "Client Connects" field shares its id with the caption before it,
   which GetDlgItem would find; the field is the edit control among them. */
HWND FindConnectsField(HWND hwnd)
{
    for (HWND child = GetWindow(hwnd, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
        char className[8] = "";
        GetClassNameA(child, className, sizeof(className));
        if (GetDlgCtrlID(child) == IDC_MAIN_CONNECTS && lstrcmpiA(className, "Edit") == 0)
            return child;
    }
    return nullptr;
}

void StartStatistics(HWND hwnd)
{
    for (int &shown : aShownCounts)
        shown = -1;
    RefreshStatistics(hwnd);
    SetTimer(hwnd, IDT_MAIN_STATS, STATS_REFRESH_MS, nullptr);
}

void RefreshStatistics(HWND hwnd)
{
    const int counts[3] = {iRcvdClientConnects, iRcvdClientQuits, iRcvdIdentRequests};
    const HWND fields[3] = {FindConnectsField(hwnd), GetDlgItem(hwnd, IDC_MAIN_QUITS_FIELD),
                            GetDlgItem(hwnd, IDC_MAIN_REQUESTS_FIELD)};
    for (int i = 0; i < 3; i++) {
        if (counts[i] == aShownCounts[i])
            continue;
        char text[16];
        snprintf(text, sizeof(text), "%d", counts[i]);
        SetWindowTextA(fields[i], text);
        aShownCounts[i] = counts[i];
    }
}
