/* tests/shell/shellprobe.cpp: recorders for the shell's tray and for the
   services' start-up, so that the window can be made in a test process
   without a host server or port 113. */
#include "shellprobe.h"

#include "../../app/services.h"
#include "../../common/logqueue.h"

#include <commctrl.h>

#include <string.h>

std::vector<TrayCall> TrayCalls;
void *pServicesWindow;
bool bServicesStopped;

BOOL TrayNotify(DWORD message, NOTIFYICONDATAA *data)
{
    TrayCall call;
    call.message = message;
    memset(&call.record, 0, sizeof(call.record));
    size_t size = data->cbSize < sizeof(call.record) ? data->cbSize : sizeof(call.record);
    memcpy(&call.record, data, size);
    TrayCalls.push_back(call);
    return TRUE;
}

void ResetServices(void) {}

void SayStarted(void) {}

void StartKeptLog(const Switches *) {}

void StartServices(void *hwnd, const Switches *)
{
    pServicesWindow = hwnd;
}

int StopServices(int)
{
    bServicesStopped = true;
    return 0;
}

void ClearProbes(void)
{
    TrayCalls.clear();
    pServicesWindow = nullptr;
    bServicesStopped = false;
}

std::string LogText(void)
{
    int len = GetWindowTextLengthA(hwndMSG1);
    std::string text(len + 1, '\0');
    len = GetWindowTextA(hwndMSG1, &text[0], len + 1);
    text.resize(len < 0 ? 0 : len);
    return text;
}

std::string StatusText(void)
{
    int len = LOWORD(SendMessageA(hwndStatusBar, SB_GETTEXTLENGTHA, 0, 0));
    std::string text(len + 1, '\0');
    SendMessageA(hwndStatusBar, SB_GETTEXTA, 0, (LPARAM)&text[0]);
    text.resize(strlen(text.c_str()));
    return text;
}

bool PumpUntilLogged(int ms)
{
    DWORD deadline = GetTickCount() + (DWORD)ms;
    for (;;) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
        if (LogQueueDrain(0))
            return true;
        if ((LONG)(GetTickCount() - deadline) >= 0)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
}

bool TakeQuit(int *code)
{
    MSG msg;
    if (!PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE))
        return false;
    *code = (int)msg.wParam;
    return true;
}

static const UINT TICK_MS = 50;
static const int TICKS_BEFORE_TIMEOUT = 200;

static UINT_PTR uTicker;
static int iTicks;
static bool bTickerActed;
static bool bTickerTimedOut;
static bool (*TickFn)(void);
static void (*TimeoutFn)(void);

/* The clock keeps running after fn has acted, so that a modal loop that
   fails to end on what fn did is still ended. */
static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD)
{
    if (!bTickerActed && TickFn())
        bTickerActed = true;
    if (++iTicks == TICKS_BEFORE_TIMEOUT) {
        bTickerTimedOut = true;
        TimeoutFn();
    }
}

void StartTicker(bool (*fn)(void), void (*timeout)(void))
{
    TickFn = fn;
    TimeoutFn = timeout;
    iTicks = 0;
    bTickerActed = false;
    bTickerTimedOut = false;
    uTicker = SetTimer(nullptr, 0, TICK_MS, Tick);
}

bool StopTicker(void)
{
    KillTimer(nullptr, uTicker);
    return bTickerActed && !bTickerTimedOut;
}

struct OwnWindowSearch {
    const char *windowClass;
    const char *title;
    HWND found;
};

static BOOL CALLBACK MatchOwnWindow(HWND hwnd, LPARAM lParam)
{
    OwnWindowSearch *search = (OwnWindowSearch *)lParam;
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != GetCurrentProcessId())
        return TRUE;
    char text[256];
    if (search->windowClass != nullptr &&
        (GetClassNameA(hwnd, text, sizeof(text)) == 0 || strcmp(text, search->windowClass) != 0))
        return TRUE;
    if (search->title != nullptr &&
        (GetWindowTextA(hwnd, text, sizeof(text)) < 0 || strcmp(text, search->title) != 0))
        return TRUE;
    search->found = hwnd;
    return FALSE;
}

HWND FindOwnWindow(const char *windowClass, const char *title)
{
    OwnWindowSearch search = {windowClass, title, nullptr};
    EnumWindows(MatchOwnWindow, (LPARAM)&search);
    return search.found;
}
