/* common/keptlog.cpp: the kept log's stamps, queue, writer and files. */
#include "keptlog.h"

#include "logqueue.h"
#include "platform.h"

#include <atomic>
#include <errno.h>
#include <ctime>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>

/* Said in the file once writing works again after lines were lost. */
static const char KEPT_DROPPED_FORMAT[] = "- Kept log: %u lines could not be written\r\n";

/* The most the writer takes from its queue at once. */
static const int KEPT_BATCH_BYTES = 64 * 1024;

/* Shown but not kept: every query that matches no node has this line in
   the window, while the kept log has their number per asker a minute at a
   time, so that a flood of them cannot fill the disk. */
static const char NOT_KEPT[] = "- IdentHandler no match found\r\n";

/* Between the folder and a file's name, as the system writes paths, so
   that the lines that name a file show it as the operator would type it. */
#ifdef _WIN32
static const char PATH_SEP[] = "\\";
#else
static const char PATH_SEP[] = "/";
#endif

static LogRing *KeptQueue = nullptr;
static std::atomic<bool> bKeptStarted(false);
static std::string sKeptDir;

/* The path of the file for date ("YYYY-MM-DD"). */
static std::string DayPath(const char *date)
{
    return sKeptDir + PATH_SEP + "quillet-" + std::string(date, 10) + ".log";
}
static int iKeptDays = KEPT_LOG_DAYS_DEFAULT;

static void CivilFromDays(int64_t z, int *year, int *month, int *day)
{
    z += 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    unsigned doe = (unsigned)(z - era * 146097);
    unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    unsigned mp = (5 * doy + 2) / 153;
    *day = (int)(doy - (153 * mp + 2) / 5 + 1);
    *month = (int)(mp < 10 ? mp + 3 : mp - 9);
    *year = (int)((int64_t)yoe + era * 400 + (*month <= 2));
}

int64_t KeptDayNumber(int year, int month, int day)
{
    int64_t y = year - (month <= 2);
    int64_t era = (y >= 0 ? y : y - 399) / 400;
    unsigned yoe = (unsigned)(y - era * 400);
    unsigned doy = (unsigned)((153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1);
    unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + (int64_t)doe - 719468;
}

void KeptStamp(int64_t utcSeconds, char *out)
{
    int64_t days = utcSeconds >= 0 ? utcSeconds / 86400 : (utcSeconds - 86399) / 86400;
    int64_t secs = utcSeconds - days * 86400;
    int year, month, day;
    CivilFromDays(days, &year, &month, &day);
    char text[48];
    snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02dZ ", (year % 10000 + 10000) % 10000,
             month % 100, day % 100, (int)(secs / 3600) % 100, (int)(secs / 60 % 60),
             (int)(secs % 60));
    memcpy(out, text, KEPT_STAMP_LEN);
    out[KEPT_STAMP_LEN] = '\0';
}

int bKeptFileExpired(const char *name, int64_t firstKept)
{
    int year, month, day;
    char end[8];
    if (strlen(name) != 22 ||
        sscanf(name, "quillet-%4d-%2d-%2d%5s", &year, &month, &day, end) != 4 ||
        strcmp(end, ".log") != 0 || month < 1 || month > 12 || day < 1 || day > 31)
        return 0;
    return KeptDayNumber(year, month, day) < firstKept ? 1 : 0;
}

void KeptLogPut(const char *text)
{
    if (!bKeptStarted)
        return;
    char stamp[KEPT_STAMP_LEN + 1];
    KeptStamp((int64_t)std::time(nullptr), stamp);
    std::string lines;
    for (const char *p = text; *p != '\0';) {
        const char *end = strchr(p, '\n');
        size_t len = end != nullptr ? (size_t)(end - p) + 1 : strlen(p);
        if (len != sizeof(NOT_KEPT) - 1 || memcmp(p, NOT_KEPT, len) != 0) {
            lines.append(stamp, KEPT_STAMP_LEN);
            lines.append(p, len);
        }
        p += len;
    }
    if (!lines.empty())
        LogRingPut(KeptQueue, lines.c_str());
}

/* The writer's file: the day it is for, and how much of it is known to be
   whole lines. */
struct KeptFile {
    FILE *f;
    char sDate[11];
    long iGood;
    bool bFailing;
};

static void SayOnce(KeptFile *kf, const char *what, const char *path)
{
    if (kf->bFailing)
        return;
    kf->bFailing = true;
    char line[512];
    snprintf(line, sizeof(line),
             "- Kept log %s <%s>: error <%i>; lines are counted until it can, and each new one "
             "tries again\r\n",
             what, path, errno);
    MsgOut(line);
}

struct PruneArgs {
    const char *dir;
    int64_t firstKept;
};

static int PruneOne(const char *name, void *ctx)
{
    const PruneArgs *args = (const PruneArgs *)ctx;
    if (bKeptFileExpired(name, args->firstKept)) {
        std::string path = std::string(args->dir) + PATH_SEP + name;
        remove(path.c_str());
    }
    return 0;
}

/* Removes the files of days before the last iKeptDays, date "YYYY-MM-DD"
   being today. */
static void Prune(const char *date)
{
    int year = atoi(date), month = atoi(date + 5), day = atoi(date + 8);
    PruneArgs args = {sKeptDir.c_str(), KeptDayNumber(year, month, day) - (iKeptDays - 1)};
    PlatListDir(sKeptDir.c_str(), PruneOne, &args);
}

/* The file for date, open for appending; false when it cannot be. */
static bool OpenFor(KeptFile *kf, const char *date)
{
    if (kf->f != nullptr && strncmp(kf->sDate, date, 10) == 0)
        return true;
    if (kf->f != nullptr)
        fclose(kf->f);
    kf->f = nullptr;
    bool newDay = strncmp(kf->sDate, date, 10) != 0;
    memcpy(kf->sDate, date, 10);
    kf->sDate[10] = '\0';
    if (newDay)
        Prune(kf->sDate);
    std::string path = DayPath(kf->sDate);
    kf->f = fopen(path.c_str(), "ab");
    if (kf->f == nullptr) {
        SayOnce(kf, "cannot open", path.c_str());
        return false;
    }
    fseek(kf->f, 0, SEEK_END);
    kf->iGood = ftell(kf->f);
    return true;
}

/* Writes the whole lines of buf[0..len) to their days' files. Lines that
   cannot be written are counted as lost; a file left with part of a line
   is cut back to its last whole one. */
static void WriteLines(KeptFile *kf, const char *buf, int len, unsigned *lost)
{
    for (int at = 0; at < len;) {
        const char *nl = (const char *)memchr(buf + at, '\n', (size_t)(len - at));
        int end = (int)(nl - buf) + 1;
        bool written = OpenFor(kf, buf + at) &&
                       fwrite(buf + at, 1, (size_t)(end - at), kf->f) == (size_t)(end - at);
        if (written && fflush(kf->f) == 0) {
            kf->iGood = ftell(kf->f);
            if (kf->bFailing) {
                kf->bFailing = false;
                MsgOut("- Kept log writing again\r\n");
            }
        } else {
            (*lost)++;
            if (kf->f != nullptr) {
                SayOnce(kf, "cannot write", DayPath(kf->sDate).c_str());
                PlatTruncateFile(kf->f, kf->iGood);
                fclose(kf->f);
                kf->f = nullptr;
            }
        }
        at = end;
    }
}

/* Appends the whole lines of text[0..len) to out, each stamped: the queue's
   own count of lost lines comes out of it without a stamp, and gets the
   time it is written. */
static void Stamped(const char *text, size_t len, std::string *out)
{
    out->clear();
    for (size_t at = 0; at < len;) {
        const char *nl = (const char *)memchr(text + at, '\n', len - at);
        size_t end = (size_t)(nl - text) + 1;
        if (text[at] < '0' || text[at] > '9') {
            char stamp[KEPT_STAMP_LEN + 1];
            KeptStamp((int64_t)std::time(nullptr), stamp);
            out->append(stamp, KEPT_STAMP_LEN);
        }
        out->append(text + at, end - at);
        at = end;
    }
}

static void KeptWriter(void *)
{
    KeptFile kf = {nullptr, "", 0, false};
    static char batch[KEPT_BATCH_BYTES];
    std::string carry, lines;
    for (;;) {
        int len = LogRingWaitTake(KeptQueue, batch, sizeof(batch), -1);
        carry.append(batch, (size_t)len);
        size_t whole = carry.rfind('\n');
        if (whole == std::string::npos)
            continue;
        unsigned lost = 0;
        Stamped(carry.data(), whole + 1, &lines);
        WriteLines(&kf, lines.data(), (int)lines.size(), &lost);
        carry.erase(0, whole + 1);
        if (lost > 0)
            LogRingDropped(KeptQueue, lost);
    }
}

void KeptLogStart(const char *dir, int days)
{
    sKeptDir = dir;
    iKeptDays = days > 0 ? days : KEPT_LOG_DAYS_DEFAULT;
    KeptQueue = LogRingNew(KEPT_LOG_QUEUE_BYTES, KEPT_DROPPED_FORMAT);
    char stamp[KEPT_STAMP_LEN + 1];
    KeptStamp((int64_t)std::time(nullptr), stamp);
    Prune(stamp);
    bKeptStarted = true;
    if (PlatThreadStart(KeptWriter, nullptr) != 0)
        MsgOut("- Kept log cannot start its writer: nothing is kept\r\n");
}

int KeptLogDrain(int ms)
{
    return bKeptStarted ? LogRingDrain(KeptQueue, ms) : 1;
}
