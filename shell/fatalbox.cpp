/* shell/fatalbox.cpp: the box that tells the user why the program ends. The
   program runs hidden on a machine nobody may be watching, so the box
   closes itself and the process can end. */
#include "shell.h"

#include "../common/platform.h"

#include <string.h>

const UINT FATAL_BOX_CLOSE_MS = 30000;

static const char BOX_TITLE[] = "Quillet";
static const char BOX_CLASS[] = "#32770";

/* Closes the calling thread's message box as its OK button would. */
static BOOL CALLBACK CloseIfBox(HWND hwnd, LPARAM)
{
    char className[16] = "", title[16] = "";
    GetClassNameA(hwnd, className, sizeof(className));
    GetWindowTextA(hwnd, title, sizeof(title));
    if (strcmp(className, BOX_CLASS) == 0 && strcmp(title, BOX_TITLE) == 0)
        PostMessageA(hwnd, WM_COMMAND, IDOK, 0);
    return TRUE;
}

/* A thread timer: the box's own message loop runs it. */
static void CALLBACK CloseBoxTimer(HWND, UINT, UINT_PTR, DWORD)
{
    EnumThreadWindows(GetCurrentThreadId(), CloseIfBox, 0);
}

int FatalBox(const char *text, UINT closeAfterMs)
{
    UINT_PTR timer = SetTimer(nullptr, 0, closeAfterMs, CloseBoxTimer);
    int result = MessageBoxA(nullptr, text, BOX_TITLE, MB_OK);
    KillTimer(nullptr, timer);
    return result;
}
