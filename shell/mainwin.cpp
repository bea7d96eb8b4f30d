/* shell/mainwin.cpp: start-up, the main window, its message log and status
   bar, and shut-down. */
#include "shell.h"

#include "resource.h"
#include "../app/services.h"
#include "../common/keptlog.h"
#include "../common/logqueue.h"
#include "../common/platform.h"
#include "../common/version.h"

#include <commctrl.h>

/* The status bar: child, visible, clipped by its siblings, with a size grip,
   at the bottom. */
static const DWORD STATUS_STYLE =
    WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | SBARS_SIZEGRIP | CCS_BOTTOM;

/* A rectangle in dialog units that MapDialogRect turns into pixels, to learn
   the size of a dialog unit in this window's font. */
static const RECT REFERENCE_RECT_DLU = {4, 12, 242, 388};

/* How long quitting waits for the IDENT handlers at work: one that has
   answered waits out its pause before it closes. */
static const int QUIT_WAIT_MS = 3000;

HINSTANCE ghInstance;
HWND g_hWnd;
HWND hwndMSG1;
HWND hwndStatusBar;
int aWidths[2];
float x_proportion, y_proportion;
RECT actualDialogRect, actualEditRect;
int iMsgXBorder, iMsgYBorder;
HICON g_hIcon;
Switches g_switches;

int bServiceMode = 0;

/* Explorer broadcasts this when it rebuilds the tray. */
static UINT uTaskbarCreated;

/* The service shows no box: nobody may be logged on to close it. What a
   box would say goes to the kept log and the event log. */
static void ServiceErr(const char *text)
{
    char line[512];
    snprintf(line, sizeof(line), "%s\r\n", text);
    MsgOut(line);
    PlatEventLog(PEVENT_FAILED, line);
}

int UserErr(const char *text)
{
    if (bServiceMode) {
        ServiceErr(text);
        return IDOK;
    }
    return MessageBoxA(nullptr, text, "Quillet", MB_OK);
}

void FatalErr(const char *text)
{
    /* The box stays up for a while; a copy started meanwhile must run. */
    ReleaseInstance();
    if (bServiceMode)
        ServiceErr(text);
    else
        FatalBox(text, FATAL_BOX_CLOSE_MS);
}

static void SetStatusText(const char *text)
{
    SendMessageA(hwndStatusBar, SB_SETTEXTA, 0, (LPARAM)text);
}

static void SetStatusParts(int width)
{
    aWidths[0] = width / 2;
    aWidths[1] = -1;
    SendMessageA(hwndStatusBar, SB_SETPARTS, 2, (LPARAM)aWidths);
}

static INT_PTR MsgInitDialog(HWND hwnd)
{
    ResetServices();

    RECT mapped = REFERENCE_RECT_DLU;
    MapDialogRect(hwnd, &mapped);
    MeasureProportions(&mapped, &x_proportion, &y_proportion);

    hwndStatusBar = CreateStatusWindowA(STATUS_STYLE, "Ready", hwnd, IDC_MAIN_STATUS);
    RECT bar = {0, 0, 0, 0};
    GetWindowRect(hwndStatusBar, &bar);
    SetStatusParts(bar.right - bar.left);

    hwndMSG1 = GetDlgItem(hwnd, IDC_MAIN_MSG);
    /* The box's default limit of some 30,000 characters would make the log
       stop growing silently on a busy board; lift it to the most the box
       can hold. */
    SendMessageA(hwndMSG1, EM_SETLIMITTEXT, 0, 0);

    GetWindowRect(hwnd, &actualDialogRect);
    GetWindowRect(hwndMSG1, &actualEditRect);
    iMsgXBorder = actualDialogRect.right - actualEditRect.right;
    iMsgYBorder = actualDialogRect.bottom - actualEditRect.bottom;

    if (bViewerMode) {
        StartViewer(hwnd);
        return 0;
    }
    SetStatusText("Quillet - Ready");
    StartKeptLog(&g_switches);
    SayStarted();
    StartServices(hwnd, &g_switches);
    StartStatistics(hwnd);
    SetStatusText("Quillet - Ready & Waiting");
    /* No initial focus is set. */
    return 0;
}

static INT_PTR MsgSize(HWND hwnd, LPARAM lParam)
{
    int w = LOWORD(lParam);
    int h = HIWORD(lParam);

    /* While the window is being created this finds neither the status bar
       nor the message box, and the moves below do nothing. */
    RECT bar = {0, 0, 0, 0};
    GetWindowRect(hwndStatusBar, &bar);
    int sh = bar.bottom - bar.top;
    MoveWindow(hwndStatusBar, 0, h - sh, w, sh, TRUE);
    SetStatusParts(w);

    hwndMSG1 = GetDlgItem(hwnd, IDC_MAIN_MSG);
    int box[4];
    LayoutMsgBox(w, h, x_proportion, y_proportion, iMsgXBorder, iMsgYBorder, box);
    MoveWindow(hwndMSG1, box[0], box[1], box[2], box[3], TRUE);
    return 0;
}

/* The whole wParam is compared, so notifications from the controls, which
   carry a code in the high word, match nothing. */
static INT_PTR MsgCommand(WPARAM wParam)
{
    switch (wParam) {
    case IDCANCEL:
    case IDC_MAIN_QUIT:
    case IDM_TRAY_QUIT:
        PostQuitMessage(0);
        return 1;
    case IDC_MAIN_ABOUT:
    case IDM_TRAY_ABOUT:
        AboutBox();
        return 1;
    case IDC_MAIN_HELP:
        MsgOut("Sorry, No Help available yet!\r\n");
        return 1;
    case IDC_MAIN_HIDE:
        HideToTray();
        return 1;
    case IDM_TRAY_RESTORE:
        RestoreFromTray();
        return 1;
    }
    return 0;
}

/* Minimising hides the window to the tray instead; everything else is left
   to the system. */
static INT_PTR MsgSysCommand(WPARAM wParam)
{
    if (wParam != SC_MINIMIZE)
        return 0;
    HideToTray();
    return 1;
}

/* Only a press of the right button on the icon does anything. */
static INT_PTR MsgTrayIcon(HWND hwnd, WPARAM wParam, LPARAM lParam)
{
    if (wParam != IDM_TRAY || lParam != WM_RBUTTONDOWN)
        return 0;
    TrayMenu(hwnd);
    return 1;
}

/* A rebuilt tray has lost the icon. Without it a hidden window could be
   neither restored nor quit, so put it back. */
static INT_PTR MsgTaskbarCreated(void)
{
    if (g_hWnd == nullptr || IsWindowVisible(g_hWnd))
        return 0;
    TaskBarIconAdd(g_hIcon, QUILLET_TITLE);
    return 1;
}

INT_PTR CALLBACK MainDialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    if (msg == uTaskbarCreated && uTaskbarCreated != 0)
        return MsgTaskbarCreated();
    switch (msg) {
    case WM_INITDIALOG:
        return MsgInitDialog(hwnd);
    case WM_SIZE:
        return MsgSize(hwnd, lParam);
    case WM_COMMAND:
        return MsgCommand(wParam);
    case WM_SYSCOMMAND:
        return MsgSysCommand(wParam);
    case WM_TRAYICON:
        return MsgTrayIcon(hwnd, wParam, lParam);
    case WM_TIMER:
        if (wParam == IDT_VIEWER)
            ViewerTick(hwnd);
        else if (wParam == IDT_MAIN_STATS)
            RefreshStatistics(hwnd);
        else
            return 0;
        return 1;
    case WM_LOGQUEUE:
        return MsgLogQueue();
    }
    return 0;
}

HWND StartUp(HINSTANCE instance)
{
    ghInstance = instance;
    InitCommonControls();
    uTaskbarCreated = RegisterWindowMessageA("TaskbarCreated");

    /* The services start while the window initialises, inside this call. */
    g_hWnd = CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainDialogProc, 0);
    if (g_hWnd == nullptr)
        return nullptr;

    g_nid.cbSize = TRAY_RECORD_SIZE;
    g_nid.hWnd = g_hWnd;
    g_nid.uID = IDM_TRAY;
    g_nid.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    g_nid.uCallbackMessage = WM_TRAYICON;
    g_hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_QUILLET));
    TaskBarIconAdd(g_hIcon, QUILLET_TITLE);
    /* The service's window is opened to be looked at. */
    ShowWindow(g_hWnd, bViewerMode ? SW_SHOW : SW_HIDE);
    return g_hWnd;
}

void MessageLoop(void)
{
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (IsDialogMessageA(g_hWnd, &msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

/* The window is not destroyed: it goes with the process, as do the service
   threads and their sockets. The socket library is not shut down either:
   a listener may still be in accept, and waking it with an error would set
   it to work again. */
void ShutDown(void)
{
    TrayNotify(NIM_DELETE, &g_nid);
    DestroyIcon(g_hIcon);
    /* The copy of the tray menu that the latest right click loaded. */
    if (g_hMenu != nullptr)
        DestroyMenu(g_hMenu);
    g_hMenu = g_hPopup = nullptr;
    if (bViewerMode)
        return;
    StopServices(QUIT_WAIT_MS);
    PlatEventLog(PEVENT_STOPPED, "- Quit");
    DrainLog();
    KeptLogDrain(LOG_DRAIN_MS);
}
