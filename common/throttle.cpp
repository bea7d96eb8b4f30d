/* common/throttle.cpp: one line a minute per key, from a bounded table. */
#include "throttle.h"

/* Counts whose minute has passed are looked for at most this often, so a
   sweep on every accept costs a comparison. */
static const int64_t SWEEP_EVERY_MS = 1000;

static bool bMinutePassed(const ThrottleSlot *s, int64_t nowMs)
{
    return nowMs - s->tLineMs >= THROTTLE_INTERVAL_MS;
}

/* The slot's count as a line due now; the slot starts its next minute. */
static ThrottleLine TakeCount(ThrottleSlot *s, ThrottleKind kind, int64_t nowMs)
{
    ThrottleLine line = {kind, s->key, s->iCount, (int)((nowMs - s->tLineMs) / 1000)};
    s->tLineMs = nowMs;
    s->iCount = 0;
    return line;
}

/* One event of a slot: due at once when it is the slot's first, otherwise
   counted, and due when its minute has passed. */
static int NoteSlot(ThrottleSlot *s, ThrottleKind kind, uint64_t key, int64_t nowMs,
                    ThrottleLine *due)
{
    if (!s->bInUse) {
        s->key = key;
        s->tLineMs = nowMs;
        s->iCount = 0;
        s->bInUse = 1;
        *due = {kind == THROTTLE_OVERFLOW ? THROTTLE_OVERFLOW : THROTTLE_FIRST, key, 1, 0};
        return 1;
    }
    s->iCount++;
    if (!bMinutePassed(s, nowMs))
        return 0;
    *due = TakeCount(s, kind, nowMs);
    return 1;
}

/* Counts whose minute has passed become due; keys quiet for a minute since
   their line are forgotten. A sweep that runs out of room leaves the rest
   for the next call. Called with the lock held. */
static int SweepLocked(Throttle *t, int64_t nowMs, ThrottleLine *due, int n)
{
    if (nowMs - t->tSweepMs < SWEEP_EVERY_MS)
        return n;
    for (int i = 0; i <= THROTTLE_KEYS; i++) {
        ThrottleSlot *s = i < THROTTLE_KEYS ? &t->slots[i] : &t->overflow;
        if (!s->bInUse || !bMinutePassed(s, nowMs))
            continue;
        if (s->iCount == 0) {
            s->bInUse = 0;
            continue;
        }
        if (n == THROTTLE_DUE_MAX)
            return n;
        due[n++] = TakeCount(s, i < THROTTLE_KEYS ? THROTTLE_COUNT : THROTTLE_OVERFLOW, nowMs);
    }
    t->tSweepMs = nowMs;
    return n;
}

int ThrottleNote(Throttle *t, uint64_t key, int64_t nowMs, ThrottleLine *due)
{
    std::lock_guard<std::mutex> hold(t->lock);
    ThrottleSlot *own = nullptr, *room = nullptr;
    for (ThrottleSlot &s : t->slots) {
        if (s.bInUse && s.key == key) {
            own = &s;
            break;
        }
        /* A key with nothing left to say, quiet for a minute, gives way. */
        if (room == nullptr && (!s.bInUse || (s.iCount == 0 && bMinutePassed(&s, nowMs))))
            room = &s;
    }
    if (own == nullptr && room != nullptr) {
        room->bInUse = 0;
        own = room;
    }
    int n = own != nullptr ? NoteSlot(own, THROTTLE_COUNT, key, nowMs, due)
                           : NoteSlot(&t->overflow, THROTTLE_OVERFLOW, 0, nowMs, due);
    return SweepLocked(t, nowMs, due, n);
}

int ThrottleSweep(Throttle *t, int64_t nowMs, ThrottleLine *due)
{
    std::lock_guard<std::mutex> hold(t->lock);
    return SweepLocked(t, nowMs, due, 0);
}

void ThrottleClear(Throttle *t)
{
    std::lock_guard<std::mutex> hold(t->lock);
    for (ThrottleSlot &s : t->slots)
        s.bInUse = 0;
    t->overflow.bInUse = 0;
    t->tSweepMs = 0;
}
