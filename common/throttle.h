/* common/throttle.h: at most one log line a minute per key. A key is what a
   line speaks of: a peer's address, an account, or a kind of event. The first
   event of a key is due at once; later ones are counted and due as one count
   a minute. The table is bounded: keys that find no room are counted
   together, and that count has its own line a minute. */
#ifndef QUILLET_THROTTLE_H
#define QUILLET_THROTTLE_H

#include <mutex>
#include <stdint.h>

#define THROTTLE_INTERVAL_MS 60000

/* Keys remembered at once. A key leaves once a minute has passed since its
   last line without an event. */
#define THROTTLE_KEYS 64

/* Room the caller gives for the lines one call may make due. */
#define THROTTLE_DUE_MAX 8

enum ThrottleKind {
    THROTTLE_FIRST,   /* a key's first event in a while */
    THROTTLE_COUNT,   /* iCount events of key since its line iSeconds ago */
    THROTTLE_OVERFLOW /* iCount events of keys the table had no room for */
};

struct ThrottleLine {
    ThrottleKind kind;
    uint64_t key;
    unsigned iCount;
    int iSeconds;
};

struct ThrottleSlot {
    uint64_t key;
    int64_t tLineMs; /* the key's latest line */
    unsigned iCount; /* events since then, not yet in a line */
    int bInUse;
};

/* One per kind of line; zero-initialised (a static) is empty. */
struct Throttle {
    std::mutex lock;
    ThrottleSlot slots[THROTTLE_KEYS];
    ThrottleSlot overflow;
    int64_t tSweepMs;
};

/* Notes one event of key at nowMs and fills due with the lines due now:
   the key's own, and the counts of other keys whose minute has passed.
   Returns how many (at most THROTTLE_DUE_MAX). Any thread may call it. */
int ThrottleNote(Throttle *t, uint64_t key, int64_t nowMs, ThrottleLine *due);

/* Fills due with the counts whose minute has passed, without an event:
   called where the events' source passes anyway (an accept, a handler's
   end), so that a count is written although its key has gone quiet. Cheap
   when nothing is due. */
int ThrottleSweep(Throttle *t, int64_t nowMs, ThrottleLine *due);

/* Forgets every key (tests). */
void ThrottleClear(Throttle *t);

#endif
