/* shell/tray.cpp: the tray icon, hiding to and restoring from the tray, the
   icon's popup menu and the About box. */
#include "shell.h"

#include "resource.h"
#include "../common/version.h"

#include <string.h>

#ifndef _WIN64
static_assert(TRAY_RECORD_SIZE == 88, "the first form of the tray record is 88 bytes");
#endif

NOTIFYICONDATAA g_nid;
HMENU g_hMenu, g_hPopup;

void TaskBarIconAdd(HICON icon, const char *text)
{
    g_nid.hIcon = icon;
    /* strncpy pads a short tip with NULs; the last byte of the tip is never
       written, so a long one is cut and still terminated. */
    strncpy(g_nid.szTip, text, TRAY_TIP_CHARS);
    TrayNotify(NIM_ADD, &g_nid);
}

void HideToTray(void)
{
    TaskBarIconAdd(g_hIcon, QUILLET_TITLE);
    ShowWindow(g_hWnd, SW_HIDE);
}

void RestoreFromTray(void)
{
    ShowWindow(g_hWnd, SW_RESTORE);
    TrayNotify(NIM_DELETE, &g_nid);
    SetForegroundWindow(g_hWnd);
}

void TrayMenu(HWND hwnd)
{
    POINT cursor = {0, 0};
    GetCursorPos(&cursor);

    /* Each click gets a fresh copy of the menu; the copy before it is no
       longer shown and is freed. */
    if (g_hMenu != nullptr)
        DestroyMenu(g_hMenu);
    g_hMenu = LoadMenuA(ghInstance, MAKEINTRESOURCEA(IDM_TRAY));
    g_hPopup = GetSubMenu(g_hMenu, 0);

    /* Without the foreground the menu would not close when the user clicks
       elsewhere, and without the posted message a second click would open
       it only to close it at once. */
    SetForegroundWindow(hwnd);
    TrackPopupMenu(g_hPopup, 0, cursor.x, cursor.y, 0, hwnd, nullptr);
    PostMessageA(hwnd, WM_NULL, 0, 0);
}

void AboutBox(void)
{
    DialogBoxParamA(ghInstance, MAKEINTRESOURCEA(IDD_ABOUT), g_hWnd, AboutDlgProc, 0);
}

/* Unlike the main window, the About box looks only at the low word: Enter
   and Esc close it however they arrive. */
INT_PTR CALLBACK AboutDlgProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM)
{
    switch (msg) {
    case WM_INITDIALOG:
        return 1;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(hwnd, 0);
            return 1;
        }
        return 0;
    }
    return 0;
}
