/* shell/winmain.cpp: the Windows program's entry. The command line and the
   show state are not looked at: the program always starts hidden in the
   tray. A second copy shows the running one and ends with status 1, before
   it makes a window or reaches the host server. */
#include "shell.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    if (!bClaimInstance()) {
        ShowRunningInstance();
        return 1;
    }
    if (StartUp(instance) != nullptr)
        MessageLoop();
    ShutDown();
    return 0;
}
