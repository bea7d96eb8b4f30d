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

void WINSConnect(void *hwnd)
{
    MsgOut("- Connecting to WINS Server\r\n");
    if (!WildcatServerConnect(hwnd)) {
        MsgOut("Unable to connect to WINS Server");
        PlatExit(0);
    }
    MsgOut("- Connected to WINS Server\r\n");
    if (!GetMakewild(&Makewild)) {
        MsgOut("Unable to get Makewild information");
        PlatExit(0);
    }
    CopyText(sSys_BBSName, Makewild.szBBSName, SYS_TEXT_SIZE);
    CopyText(sSys_RegString, Makewild.szRegString, SYS_TEXT_SIZE);
    LogLine("- Connected to %s\r\n", sSys_BBSName);
    LogLine("- Reg string   %s\r\n", sSys_RegString);

    MsgOut("- Creating WINS Server Context\r\n");
    if (!WildcatServerCreateContext())
        UserErr("Unable to connect to Create Context");
    if (PlatSockStartup() != 0)
        UserErr("Unable to initialise winsock");

    int port = OpenClientPort();
    memset(&Service, 0, sizeof(Service));
    strcpy(Service.szName, SERVICE_NAME);
    strcpy(Service.szVendor, SERVICE_VENDOR);
    Service.iVersion = SERVICE_VERSION;
    Service.iPort = port;
    RegisterService(&Service);

    MsgOut("- IDENT Service initialiased\r\n");
    LogLine("- Service Name    %s\r\n", Service.szName);
    LogLine("- Service Vendor  %s\r\n", Service.szVendor);
    LogNumber("- Service Version %i\r\n", Service.iVersion);
    LogNumber("- Using Port Number %i\r\n", port);
    MsgOut("- Started to Listen for Palaver Connections\r\n");

    SetWINSStarted();
    ClientListen();
}
