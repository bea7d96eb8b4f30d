/* notify/refusals.cpp: refused notification connections, counted per address
   so that a flood from another host costs a line a minute, not a line each. */
#include "refusals.h"

#include "../common/textutil.h"
#include "../common/throttle.h"

#include <stdio.h>

static Throttle RefusedPeers;

/* The due lines, one after another, into text; each cut whole when text
   is full. */
static int FormatLines(const ThrottleLine *due, int n, char *text, int size)
{
    int len = 0;
    text[0] = '\0';
    for (int i = 0; i < n; i++) {
        char addr[ADDR_TEXT_SIZE];
        AddrText(addr, (PAddr)due[i].key);
        int w;
        if (due[i].kind == THROTTLE_FIRST)
            w = snprintf(text + len, (size_t)(size - len),
                         "- ClientListen refused a connection from <%s>: not this host\r\n", addr);
        else if (due[i].kind == THROTTLE_COUNT)
            w = snprintf(text + len, (size_t)(size - len),
                         "- ClientListen refused <%u> connections from <%s> in the last %i s: "
                         "not this host\r\n",
                         due[i].iCount, addr, due[i].iSeconds);
        else
            w = snprintf(text + len, (size_t)(size - len),
                         "- ClientListen refused <%u> connections from other addresses in the "
                         "last %i s: not this host\r\n",
                         due[i].iCount, due[i].iSeconds);
        if (w < 0 || w >= size - len) {
            text[len] = '\0';
            break;
        }
        len += w;
    }
    return len > 0 ? 1 : 0;
}

int RefusalLine(PAddr peer, int64_t nowMs, char *text, int size)
{
    ThrottleLine due[THROTTLE_DUE_MAX];
    int n = ThrottleNote(&RefusedPeers, peer, nowMs, due);
    return FormatLines(due, n, text, size);
}

int RefusalSweep(int64_t nowMs, char *text, int size)
{
    ThrottleLine due[THROTTLE_DUE_MAX];
    int n = ThrottleSweep(&RefusedPeers, nowMs, due);
    return FormatLines(due, n, text, size);
}

void ClearRefusals(void)
{
    ThrottleClear(&RefusedPeers);
}
