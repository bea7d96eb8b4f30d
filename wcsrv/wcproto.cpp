/* wcsrv/wcproto.cpp: line transport shared by the stand-in host library,
   the host server and the tools. */
#include "wcproto.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int WcSendLine(PSocket s, const char *line)
{
    char buf[WCSRV_LINE_MAX + 1];
    int n = snprintf(buf, sizeof(buf), "%s\n", line);
    if (n < 0 || n >= (int)sizeof(buf))
        return -1;
    return PlatSend(s, buf, n) == n ? 0 : -1;
}

int WcRecvLine(PSocket s, char *line, int timeoutMs)
{
    /* Byte by byte, so nothing after the newline is consumed. */
    int len = 0;
    for (;;) {
        char c;
        if (PlatRecv(s, &c, 1, timeoutMs) != 1)
            return -1;
        if (c == '\n')
            break;
        if (len == WCSRV_LINE_MAX - 1)
            return -1;
        line[len++] = c;
    }
    if (len > 0 && line[len - 1] == '\r')
        len--;
    line[len] = '\0';
    return 0;
}

int WcSplit(char *line, char **fields, int max)
{
    int count = 0;
    char *p = line;
    while (count < max) {
        fields[count++] = p;
        char *tab = strchr(p, '\t');
        if (tab == nullptr)
            break;
        *tab = '\0';
        p = tab + 1;
    }
    return count;
}

int WcLookupServicePort(const char *name)
{
    if (PlatSockStartup() != 0)
        return -1;
    PSocket s = PlatConnect(WCSRV_ADDR, WCSRV_PORT);
    if (s == PSOCKET_INVALID)
        return -1;
    char line[WCSRV_LINE_MAX];
    snprintf(line, sizeof(line), "LOOKUP\t%s", name);
    int port = -1;
    if (WcSendLine(s, line) == 0 && WcRecvLine(s, line, WCSRV_TIMEOUT_MS) == 0) {
        char *fields[2];
        if (WcSplit(line, fields, 2) == 2 && strcmp(fields[0], "OK") == 0)
            port = atoi(fields[1]);
        else
            port = 0;
    }
    PlatClose(s);
    return port;
}
