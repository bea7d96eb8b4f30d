/* shell/traycall.cpp: the one place the program calls the shell's tray. */
#include "shell.h"

BOOL TrayNotify(DWORD message, NOTIFYICONDATAA *data)
{
    return Shell_NotifyIconA(message, data);
}
