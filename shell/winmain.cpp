/* shell/winmain.cpp: the Windows program's entry. The show state is not
   looked at: the program always starts hidden in the tray. A second copy
   shows the running one and ends with status 1, before it makes a window
   or reaches the host server, whatever its switches; the first copy ends
   with status 2 on switches it cannot read, after a box saying why. */
#include "shell.h"

#include "../app/switches.h"
#include "../common/platform.h"

#include <stdlib.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    char error[160];
    int bReadable = ReadSwitches(__argc, __argv, &g_switches, error, sizeof(error)) == 0;
    if (!bClaimInstance()) {
        ShowRunningInstance();
        return 1;
    }
    if (!bReadable) {
        UserErr(error);
        return SWITCHES_BAD_STATUS;
    }
    if (StartUp(instance) != nullptr)
        MessageLoop();
    ShutDown();
    return 0;
}
