/* common/logqueue.cpp: the message log's queue, a ring of bytes under one
   lock, and the kept log's, built the same. Texts go in whole, so a dropped
   text never leaves half a line. */
#include "logqueue.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdio.h>
#include <string.h>

struct LogRing {
    std::mutex lock;
    std::condition_variable changed;
    char *ring;
    size_t iSize;
    size_t iHead;      /* where the oldest byte is */
    size_t iUsed;      /* bytes queued */
    unsigned iDropped; /* texts dropped and not yet reported */
    bool bWakeOwed;    /* the consumer has been woken and not yet emptied the queue */
    bool bBatchOut;    /* the consumer holds bytes it has not yet put out */
    const char *sDroppedFormat;
};

/* Said once the output moves again after texts were dropped. */
static const char DROPPED_FORMAT[] = "- Log output stalled, %u lines dropped\r\n";

static char MessageRing[LOG_QUEUE_BYTES];
static LogRing MessageLog = {{}, {}, MessageRing, LOG_QUEUE_BYTES, 0,
                             0,  0,  false,       false,           DROPPED_FORMAT};

LogRing *LogRingNew(size_t bytes, const char *droppedFormat)
{
    LogRing *q = new LogRing();
    q->ring = new char[bytes];
    q->iSize = bytes;
    q->sDroppedFormat = droppedFormat;
    return q;
}

/* The caller holds the lock and has checked the room. */
static void Store(LogRing *q, const char *text, size_t len)
{
    size_t tail = (q->iHead + q->iUsed) % q->iSize;
    size_t first = len < q->iSize - tail ? len : q->iSize - tail;
    memcpy(q->ring + tail, text, first);
    memcpy(q->ring, text + first, len - first);
    q->iUsed += len;
}

/* Reports the dropped texts when there is room for the line and for extra
   bytes after it; the caller holds the lock. */
static bool StoreDroppedLine(LogRing *q, size_t extra)
{
    char line[96];
    int len = snprintf(line, sizeof(line), q->sDroppedFormat, q->iDropped);
    if ((size_t)len + extra > q->iSize - q->iUsed)
        return false;
    Store(q, line, (size_t)len);
    q->iDropped = 0;
    return true;
}

int LogRingPut(LogRing *q, const char *text)
{
    size_t len = strlen(text);
    std::lock_guard<std::mutex> hold(q->lock);
    /* Texts that came after a drop go after the line that reports it. */
    if (q->iDropped > 0 && !StoreDroppedLine(q, len)) {
        q->iDropped++;
        return 0;
    }
    if (len > q->iSize - q->iUsed) {
        q->iDropped++;
        return 0;
    }
    Store(q, text, len);
    if (q->bWakeOwed)
        return 0;
    q->bWakeOwed = true;
    q->changed.notify_all();
    return 1;
}

/* The caller holds the lock. */
static int TakeLocked(LogRing *q, char *buf, int size)
{
    /* The output moves: say what was lost while it did not. */
    if (q->iDropped > 0)
        StoreDroppedLine(q, 0);
    size_t len = q->iUsed < (size_t)size ? q->iUsed : (size_t)size;
    size_t first = len < q->iSize - q->iHead ? len : q->iSize - q->iHead;
    memcpy(buf, q->ring + q->iHead, first);
    memcpy(buf + first, q->ring, len - first);
    q->iHead = (q->iHead + len) % q->iSize;
    q->iUsed -= len;
    if (q->iDropped > 0)
        StoreDroppedLine(q, 0);
    q->bBatchOut = len > 0;
    if (q->iUsed == 0 && len == 0) {
        q->bWakeOwed = false;
        q->changed.notify_all();
    }
    return (int)len;
}

int LogRingWaitTake(LogRing *q, char *buf, int size, int ms)
{
    std::unique_lock<std::mutex> hold(q->lock);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
        int len = TakeLocked(q, buf, size);
        if (len > 0)
            return len;
        if (ms < 0)
            q->changed.wait(hold);
        else if (q->changed.wait_until(hold, deadline) == std::cv_status::timeout)
            return 0;
    }
}

void LogRingDropped(LogRing *q, unsigned count)
{
    std::lock_guard<std::mutex> hold(q->lock);
    q->iDropped += count;
}

int LogRingDrain(LogRing *q, int ms)
{
    std::unique_lock<std::mutex> hold(q->lock);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    return q->changed.wait_until(hold, deadline, [q] { return q->iUsed == 0 && !q->bBatchOut; })
               ? 1
               : 0;
}

int LogQueuePut(const char *text)
{
    return LogRingPut(&MessageLog, text);
}

int LogQueueTake(char *buf, int size)
{
    std::lock_guard<std::mutex> hold(MessageLog.lock);
    return TakeLocked(&MessageLog, buf, size);
}

int LogQueueWaitTake(char *buf, int size)
{
    return LogRingWaitTake(&MessageLog, buf, size, -1);
}

int LogQueueDrain(int ms)
{
    return LogRingDrain(&MessageLog, ms);
}
