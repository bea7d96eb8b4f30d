/* common/services.cpp: start-up of the service threads. */
#include "services.h"

#include "platform.h"
#include "state.h"
#include "../ident/identhandler.h"
#include "../ident/nodetable.h"
#include "../notify/winsconnect.h"

void ResetServices(void)
{
    iRcvdIdentRequests = 0;
    iRcvdPalaverConnects = 0;
    InitNodeRec();
}

void StartServices(void *hwnd)
{
    ClearWINSStarted();
    PlatThreadStart(WINSConnect, hwnd);
    PlatThreadStart(IdentListen, hwnd);
}
