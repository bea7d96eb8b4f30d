/* notify/winsconnect.cpp: connecting to the host server and registering the
   notification port as the "quillet" service. */
#include "winsconnect.h"

#include "clientservice.h"
#include "../common/platform.h"
#include "../common/textutil.h"
#include "../common/state.h"
#include "../wcsrv/wcsrv.h"

#include <stdio.h>
#include <string.h>

char sSys_BBSName[SYS_TEXT_SIZE];
char sSys_RegString[SYS_TEXT_SIZE];

static TMakewild Makewild;
static TWildcatService Service;

/* The texts come from the host server, so they are written escaped. */
static void LogLine(const char *format, const char *text)
{
    char shown[4 * SYS_TEXT_SIZE];
    char line[sizeof(shown) + 64];
    EscapeControls(shown, text, sizeof(shown));
    snprintf(line, sizeof(line), format, shown);
    MsgOut(line);
}

static void LogNumber(const char *format, int value)
{
    char line[64];
    snprintf(line, sizeof(line), format, value);
    MsgOut(line);
}

/* Without its host the program can't serve, and ends. The desktop
   program's log dies with it, so the reason is also shown to the user. */
static void HostLost(const char *reason)
{
    MsgOut(reason);
    FatalErr(reason);
    PlatExit(0);
}

void WINSConnect(void *hwnd)
{
    MsgOut("- Connecting to WINS Server\r\n");
    if (!WildcatServerConnect(hwnd))
        HostLost("Unable to connect to WINS Server"); /* fixed text: no line end */
    MsgOut("- Connected to WINS Server\r\n");
    if (!GetMakewild(&Makewild))
        HostLost("Unable to get Makewild information"); /* fixed text: no line end */
    CopyText(sSys_BBSName, Makewild.szBBSName, SYS_TEXT_SIZE);
    CopyText(sSys_RegString, Makewild.szRegString, SYS_TEXT_SIZE);
    LogLine("- Connected to %s\r\n", sSys_BBSName);
    LogLine("- Reg string   %s\r\n", sSys_RegString); /* fixed text: keep the blanks */

    MsgOut("- Creating WINS Server Context\r\n");
    if (!WildcatServerCreateContext())
        UserErr("Unable to connect to Create Context"); /* fixed text: keep the wording */
    if (PlatSockStartup() != 0)
        UserErr("Unable to initialise winsock");

    int port = OpenClientPort();
    memset(&Service, 0, sizeof(Service));
    strcpy(Service.szName, SERVICE_NAME);
    strcpy(Service.szVendor, SERVICE_VENDOR);
    Service.iVersion = SERVICE_VERSION;
    Service.iPort = port;
    /* Without the registration no Palaver finds the port, and every query
       will get NO-USER; the operator must see why. */
    if (RegisterService(&Service))
        MsgOut("- IDENT Service initialiased\r\n"); /* fixed text: keep the misspelling */
    else
        MsgOut("- IDENT Service registration failure\r\n");
    LogLine("- Service Name    %s\r\n", Service.szName);   /* fixed text: keep the blanks */
    LogLine("- Service Vendor  %s\r\n", Service.szVendor); /* fixed text: keep the blanks */
    LogNumber("- Service Version %i\r\n", Service.iVersion);
    LogNumber("- Using Port Number %i\r\n", port);
    /* A port that could not be opened has said so and is not served; the
       IDENT listener still runs. */
    if (port != 0)
        MsgOut("- Started to Listen for Palaver Connections\r\n");

    SetWINSStarted();
    if (port != 0)
        ClientListen();
}
