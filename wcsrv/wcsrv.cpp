/* wcsrv/wcsrv.cpp: the stand-in host library. One connection to the host
   server is opened by WildcatServerConnect and carries every later call. */
#include "wcsrv.h"

#include "wcproto.h"

#include <stdio.h>
#include <string.h>

static PSocket hostSocket = PSOCKET_INVALID;
static void *hostWindow = nullptr;

/* Sends a request and reads the answer; 1 when it begins with OK. */
static int Ask(const char *request, char *answer)
{
    if (hostSocket == PSOCKET_INVALID)
        return 0;
    if (WcSendLine(hostSocket, request) != 0 ||
        WcRecvLine(hostSocket, answer, WCSRV_TIMEOUT_MS) != 0)
        return 0;
    return strncmp(answer, "OK", 2) == 0 && (answer[2] == '\0' || answer[2] == '\t') ? 1 : 0;
}

/* Copies a field that may fill its width without a terminator. */
static void CopyField(char *dest, size_t size, const char *source, size_t width)
{
    size_t n = 0;
    while (n < width && n < size - 1 && source[n] != '\0') {
        dest[n] = source[n];
        n++;
    }
    dest[n] = '\0';
}

int WildcatServerConnect(void *hwnd)
{
    /* The library brings up the socket library for itself: its caller may
       not have done so yet. */
    if (PlatSockStartup() != 0)
        return 0;
    /* A caller that connects again (the host server has gone) gets a new
       connection in place of the old one. */
    if (hostSocket != PSOCKET_INVALID)
        PlatClose(hostSocket);
    hostSocket = PSOCKET_INVALID;
    hostWindow = hwnd;
    hostSocket = PlatConnect(WCSRV_ADDR, WCSRV_PORT);
    char answer[WCSRV_LINE_MAX];
    if (Ask("HELLO", answer))
        return 1;
    if (hostSocket != PSOCKET_INVALID)
        PlatClose(hostSocket);
    hostSocket = PSOCKET_INVALID;
    return 0;
}

int GetMakewild(TMakewild *makewild)
{
    char answer[WCSRV_LINE_MAX];
    if (!Ask("MAKEWILD", answer))
        return 0;
    char *fields[3];
    if (WcSplit(answer, fields, 3) != 3)
        return 0;
    memset(makewild, 0, sizeof(*makewild));
    CopyField(makewild->szBBSName, sizeof(makewild->szBBSName), fields[1], WCSRV_LINE_MAX);
    CopyField(makewild->szRegString, sizeof(makewild->szRegString), fields[2], WCSRV_LINE_MAX);
    return 1;
}

int WildcatServerCreateContext(void)
{
    char answer[WCSRV_LINE_MAX];
    return Ask("CONTEXT", answer);
}

int RegisterService(const TWildcatService *service)
{
    char name[sizeof(service->szName) + 1], vendor[sizeof(service->szVendor) + 1];
    CopyField(name, sizeof(name), service->szName, sizeof(service->szName));
    CopyField(vendor, sizeof(vendor), service->szVendor, sizeof(service->szVendor));
    char request[WCSRV_LINE_MAX], answer[WCSRV_LINE_MAX];
    snprintf(request, sizeof(request), "REGISTER\t%s\t%s\t%d\t%d", name, vendor,
             (int)service->iVersion, (int)service->iPort);
    return Ask(request, answer);
}
