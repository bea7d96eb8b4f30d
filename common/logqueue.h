/* common/logqueue.h: the queue between the threads that write the message
   log and the one thread that puts it out (the window's thread, or the
   console's writer). Writers never wait for the output: when it stalls and
   the queue is full, texts are dropped and counted, and a line saying how
   many follows once the output moves again. */
#ifndef QUILLET_LOGQUEUE_H
#define QUILLET_LOGQUEUE_H

#include <stddef.h>

/* Bytes the queue holds. A burst of some 20,000 log lines (a board's chat
   servers holding that many IDENT connections at once) fits while the
   output is slow, and a stalled output costs no more than this. */
#define LOG_QUEUE_BYTES (1024 * 1024)

/* How long the end of the process waits for the queue to be put out. A stop
   signal still ends the console program within a second when its output
   is stalled. */
#define LOG_DRAIN_MS 500

/* Queues a copy of text, whole or not at all; never waits for the output.
   1 when the consumer should be woken (it may be idle), else 0. */
int LogQueuePut(const char *text);

/* Takes the oldest queued bytes, at most size, into buf (not terminated);
   the count taken, 0 when the queue is empty. Called by the consumer only;
   a call also says that the bytes it took before have been put out. */
int LogQueueTake(char *buf, int size);

/* As LogQueueTake, but waits until there is something to take. */
int LogQueueWaitTake(char *buf, int size);

/* Waits until everything queued has been taken and put out, or ms have
   passed; 1 when it has all gone out. Called at the end of the process. */
int LogQueueDrain(int ms);

/* Another queue built the same (the kept log's, common/keptlog.h), of
   bytes bytes; droppedFormat says how many texts were dropped (%u). Lives
   as long as the process. */
struct LogRing;
LogRing *LogRingNew(size_t bytes, const char *droppedFormat);
int LogRingPut(LogRing *q, const char *text);
/* As LogQueueWaitTake, waiting at most ms (< 0: without limit); 0 when
   nothing came. */
int LogRingWaitTake(LogRing *q, char *buf, int size, int ms);
/* Counts texts lost after they were taken, for the dropped line. */
void LogRingDropped(LogRing *q, unsigned count);
int LogRingDrain(LogRing *q, int ms);

#endif
