/* shell/winmain.cpp: the Windows program's entry. The command line and the
   show state are not looked at: the program always starts hidden in the
   tray. */
#include "shell.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    if (StartUp(instance) != nullptr)
        MessageLoop();
    ShutDown();
    return 0;
}
