/* common/logqueue.cpp: the message log's queue, a ring of bytes under one
   lock. Texts go in whole, so a dropped text never leaves half a line. */
#include "logqueue.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdio.h>
#include <string.h>

/* Said once the output moves again after texts were dropped. */
static const char DROPPED_FORMAT[] = "- Log output stalled, %u lines dropped\r\n";

static std::mutex QueueLock;
static std::condition_variable QueueChanged;

static char Ring[LOG_QUEUE_BYTES];
static size_t iHead;         /* where the oldest byte is */
static size_t iUsed;         /* bytes queued */
static unsigned iDropped;    /* texts dropped and not yet reported */
static bool bWakeOwed;       /* the consumer has been woken and not yet emptied the queue */
static bool bBatchOut;       /* the consumer holds bytes it has not yet put out */

/* The caller holds QueueLock and has checked the room. */
static void Store(const char *text, size_t len)
{
    size_t tail = (iHead + iUsed) % LOG_QUEUE_BYTES;
    size_t first = len < LOG_QUEUE_BYTES - tail ? len : LOG_QUEUE_BYTES - tail;
    memcpy(Ring + tail, text, first);
    memcpy(Ring, text + first, len - first);
    iUsed += len;
}

/* Reports the dropped texts when there is room for the line and for extra
   bytes after it; the caller holds QueueLock. */
static bool StoreDroppedLine(size_t extra)
{
    char line[64];
    int len = snprintf(line, sizeof(line), DROPPED_FORMAT, iDropped);
    if ((size_t)len + extra > LOG_QUEUE_BYTES - iUsed)
        return false;
    Store(line, (size_t)len);
    iDropped = 0;
    return true;
}

int LogQueuePut(const char *text)
{
    size_t len = strlen(text);
    std::lock_guard<std::mutex> hold(QueueLock);
    /* Texts that came after a drop go after the line that reports it. */
    if (iDropped > 0 && !StoreDroppedLine(len)) {
        iDropped++;
        return 0;
    }
    if (len > LOG_QUEUE_BYTES - iUsed) {
        iDropped++;
        return 0;
    }
    Store(text, len);
    if (bWakeOwed)
        return 0;
    bWakeOwed = true;
    QueueChanged.notify_all();
    return 1;
}

/* The caller holds QueueLock. */
static int TakeLocked(char *buf, int size)
{
    /* The output moves: say what was lost while it did not. */
    if (iDropped > 0)
        StoreDroppedLine(0);
    size_t len = iUsed < (size_t)size ? iUsed : (size_t)size;
    size_t first = len < LOG_QUEUE_BYTES - iHead ? len : LOG_QUEUE_BYTES - iHead;
    memcpy(buf, Ring + iHead, first);
    memcpy(buf + first, Ring, len - first);
    iHead = (iHead + len) % LOG_QUEUE_BYTES;
    iUsed -= len;
    if (iDropped > 0)
        StoreDroppedLine(0);
    bBatchOut = len > 0;
    if (iUsed == 0 && len == 0) {
        bWakeOwed = false;
        QueueChanged.notify_all();
    }
    return (int)len;
}

int LogQueueTake(char *buf, int size)
{
    std::lock_guard<std::mutex> hold(QueueLock);
    return TakeLocked(buf, size);
}

int LogQueueWaitTake(char *buf, int size)
{
    std::unique_lock<std::mutex> hold(QueueLock);
    for (;;) {
        int len = TakeLocked(buf, size);
        if (len > 0)
            return len;
        QueueChanged.wait(hold);
    }
}

int LogQueueDrain(int ms)
{
    std::unique_lock<std::mutex> hold(QueueLock);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    return QueueChanged.wait_until(hold, deadline, [] { return iUsed == 0 && !bBatchOut; }) ? 1 : 0;
}
