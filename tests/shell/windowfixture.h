/* tests/shell/windowfixture.h: a test that starts the program's real main
   window as the program does, and takes it down again. */
#ifndef QUILLET_WINDOWFIXTURE_H
#define QUILLET_WINDOWFIXTURE_H

#include "shellprobe.h"

#include <gtest/gtest.h>
#include <string.h>

class MainWindow : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ClearProbes();
        hwndStatusBar = nullptr;
        hwndMSG1 = nullptr;
        memset(&g_nid, 0, sizeof(g_nid));
        ASSERT_NE(StartUp(GetModuleHandleA(nullptr)), nullptr);
    }

    void TearDown() override
    {
        DestroyWindow(g_hWnd);
        g_hWnd = nullptr;
        if (g_hMenu != nullptr)
            DestroyMenu(g_hMenu);
        g_hMenu = g_hPopup = nullptr;
        /* Whatever a test left queued, a quit included. */
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        }
    }

    /* Shows the window as the tray menu's Restore does, and forgets the
       tray calls made so far. */
    void Restore()
    {
        SendMessageA(g_hWnd, WM_COMMAND, 1012, 0);
        TrayCalls.clear();
    }
};

/* The tip as the shell would read it. */
inline std::string Tip(const TrayCall &call)
{
    return std::string(call.record.szTip, strnlen(call.record.szTip, TRAY_TIP_CHARS + 1));
}

#endif
