/* notify/refusals.cpp: refused notification connections, counted per address
   so that a flood from another host costs a line a minute, not a line each. */
#include "refusals.h"

#include <stdio.h>

struct RefusedPeer {
    PAddr addr;
    int64_t tLineMs;     /* when its latest line was written */
    unsigned iUnlogged;  /* refused since then, not yet in the log */
    bool bInUse;
};

static RefusedPeer Refused[REFUSAL_ADDRESSES];

void ClearRefusals(void)
{
    for (RefusedPeer &r : Refused)
        r.bInUse = false;
}

static int FirstLine(PAddr peer, char *line, int size)
{
    return snprintf(line, (size_t)size,
                    "- ClientListen refused a connection from <%u.%u.%u.%u>: not this host\r\n",
                    peer >> 24, (peer >> 16) & 255, (peer >> 8) & 255, peer & 255);
}

static int CountLine(const RefusedPeer *r, int64_t nowMs, char *line, int size)
{
    return snprintf(line, (size_t)size,
                    "- ClientListen refused <%u> connections from <%u.%u.%u.%u> in the last %i s: "
                    "not this host\r\n",
                    r->iUnlogged, r->addr >> 24, (r->addr >> 16) & 255, (r->addr >> 8) & 255,
                    r->addr & 255, (int)((nowMs - r->tLineMs) / 1000));
}

/* The entry for peer, or a free one, or the one logged longest ago. */
static RefusedPeer *Slot(PAddr peer)
{
    RefusedPeer *oldest = &Refused[0];
    for (RefusedPeer &r : Refused) {
        if (r.bInUse && r.addr == peer)
            return &r;
        if (!r.bInUse)
            oldest = &r;
        else if (oldest->bInUse && r.tLineMs < oldest->tLineMs)
            oldest = &r;
    }
    return oldest;
}

int RefusalLine(PAddr peer, int64_t nowMs, char *line, int size)
{
    RefusedPeer *r = Slot(peer);
    if (r->bInUse && r->addr == peer) {
        r->iUnlogged++;
        if (nowMs - r->tLineMs < REFUSAL_LOG_INTERVAL_MS)
            return 0;
        CountLine(r, nowMs, line, size);
        r->tLineMs = nowMs;
        r->iUnlogged = 0;
        return 1;
    }
    /* A forgotten address's count still reaches the log, before the new
       address's first line. */
    int len = 0;
    if (r->bInUse && r->iUnlogged > 0)
        len = CountLine(r, nowMs, line, size);
    if (len < 0 || len >= size)
        len = 0;
    FirstLine(peer, line + len, size - len);
    r->addr = peer;
    r->tLineMs = nowMs;
    r->iUnlogged = 0;
    r->bInUse = true;
    return 1;
}
