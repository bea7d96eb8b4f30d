/* common/keptlog.h: the kept log. With --log-dir every log line is also
   written, with the UTC time it was made, to DIR/quillet-YYYY-MM-DD.log
   (one file per UTC day, appended, never truncated), so that a sysop can
   say long afterwards who was answered for which connection. Files older
   than --log-days are removed. The file has a queue and a writer thread of
   its own: a full disk or a stalled standard output never holds up an
   answer, a record or the other. */
#ifndef QUILLET_KEPTLOG_H
#define QUILLET_KEPTLOG_H

#include <stdint.h>

#define KEPT_LOG_DAYS_DEFAULT 30
#define KEPT_LOG_DAYS_MAX 36600

/* Bytes the kept log's queue holds while its writer is behind. */
#define KEPT_LOG_QUEUE_BYTES (1024 * 1024)

/* "2026-12-09T21:14:03Z ": the prefix of every kept line, and its length. */
#define KEPT_STAMP_LEN 21

/* Starts the writer for the folder dir, keeping days days. Files older than
   that are removed now and at each day's change. */
void KeptLogStart(const char *dir, int days);

/* Queues each line of text, stamped with the UTC time now; never waits.
   Nothing happens before KeptLogStart. */
void KeptLogPut(const char *text);

/* At the end of the process: waits at most ms for the queue to be
   written; 1 when it was. */
int KeptLogDrain(int ms);

/* The stamp for utcSeconds since 1970 into out (KEPT_STAMP_LEN + 1 bytes). */
void KeptStamp(int64_t utcSeconds, char *out);

/* Days since 1970-01-01 of a date, for the file names' dates. */
int64_t KeptDayNumber(int year, int month, int day);

/* 1 when name is a kept log's file ("quillet-YYYY-MM-DD.log") of a day
   before firstKept (KeptDayNumber), else 0. */
int bKeptFileExpired(const char *name, int64_t firstKept);

#endif
