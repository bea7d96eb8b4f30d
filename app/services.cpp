/* app/services.cpp: start-up of the service threads. */
#include "services.h"

#include "switches.h"

#include "../common/accept.h"
#include "../common/keptlog.h"
#include "../common/platform.h"
#include "../common/state.h"
#include "../common/version.h"
#include "../ident/identhandler.h"
#include "../ident/identlisten.h"
#include "../ident/nodetable.h"
#include "../notify/winsconnect.h"

void ResetServices(void)
{
    iRcvdIdentRequests = 0;
    iRcvdPalaverConnects = 0;
    iRcvdClientConnects = 0;
    iRcvdClientQuits = 0;
    InitNodeRec();
}

void StartKeptLog(const Switches *sw)
{
    if (sw->sLogDir[0] != '\0')
        KeptLogStart(sw->sLogDir, sw->iLogDays > 0 ? sw->iLogDays : KEPT_LOG_DAYS_DEFAULT);
}

void SayStarted(void)
{
    MsgOut(QUILLET_TITLE "\r\n");
    MsgOut("- Server Initiliased\r\n"); /* fixed text: keep the misspelling */
    PlatEventLog(PEVENT_STARTED, QUILLET_TITLE);
}

void StartServices(void *hwnd, const Switches *sw)
{
    ClearWINSStarted();
    /* The front end has raised its limits by now. */
    InitHandlerCaps(sw->iMaxIdent);
    InitIdentAnswers(sw->bTableOnly, sw->bIrcNames);
    SetWaitForHost(sw->iWaitForHost);
    PlatThreadStart(WINSConnect, hwnd);
    PlatThreadStart(IdentListen, hwnd);
}

/* How often the stop looks whether the IDENT loop is done. */
static const int STOP_LOOK_MS = 10;

int StopServices(int ms)
{
    StopHandlers();
    StopIdentService();
    int64_t deadline = PlatTickMs() + ms;
    while (IdentServiceHeld() > 0 && PlatTickMs() < deadline)
        PlatSleep(STOP_LOOK_MS);
    int64_t left = deadline - PlatTickMs();
    return WaitHandlersDone(left > 0 ? (int)left : 0) + IdentServiceHeld();
}
