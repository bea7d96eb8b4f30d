/* shell/winmain.cpp: the Windows program's entry. The show state is not
   looked at: the program always starts hidden in the tray. A second copy
   shows the running one and ends with status 1, before it makes a window
   or reaches the host server, whatever its switches; the first copy ends
   with status 2 on switches it cannot read, after a box saying why. */
#include "shell.h"

#include "../app/switches.h"
#include "../common/platform.h"

#include <stdio.h>
#include <stdlib.h>

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int)
{
    char error[160];
    int bReadable = ReadSwitches(__argc, __argv, &g_switches, error, sizeof(error)) == 0;
    /* Windows has no root to give up: the switch belongs to the console. */
    if (bReadable && g_switches.sUser[0] != '\0') {
        snprintf(error, sizeof(error), "--user is for the Linux program: '--user=%s'",
                 g_switches.sUser);
        bReadable = 0;
    }
    if (bReadable && g_switches.bService) {
        ghInstance = instance;
        ExitProcess((UINT)RunService());
    }
    InstanceClaim claim = ClaimInstance();
    /* Beside the running service, this copy is its window. */
    if (claim == INSTANCE_TAKEN && bServiceServes()) {
        bViewerMode = 1;
        MarkViewer();
        if (StartUp(instance) != nullptr)
            MessageLoop();
        ShutDown();
        ExitProcess(0);
    }
    if (claim == INSTANCE_TAKEN) {
        ShowRunningInstance();
        return 1;
    }
    if (!bReadable) {
        UserErr(error);
        return SWITCHES_BAD_STATUS;
    }
    if (StartUp(instance) != nullptr) {
        if (claim == INSTANCE_SQUATTED)
            MsgOut("- The mutex of one Quillet per host is held by no Quillet: running without "
                   "it\r\n");
        MessageLoop();
    }
    ShutDown();
    /* Returning would have the C runtime run the static destructors (the
       table of peers among them) while threads that ShutDown left waiting
       can still reach them; ExitProcess ends the other threads first and
       runs none of them. The log has been drained: no window is left to
       take later lines. */
    ExitProcess(0);
}
