/* bench/loadgen.h: the load generator's options, results and engine. The
   generator drives many non-blocking connections from one epoll loop per
   process and times each one. */
#ifndef QUILLET_LOADGEN_H
#define QUILLET_LOADGEN_H

#include <stdint.h>
#include <vector>

enum LoadMode { LOAD_HOLD, LOAD_RATE, LOAD_RECORDS };
enum RecordKind { RECORD_CONNECT, RECORD_QUIT };

#define LOAD_MAX_SOURCES 128

/* Ports and name of the connection a bench node describes; the records mode
   stores them and the query modes ask for them. */
#define BENCH_REMOTE_BASE 20000
#define BENCH_LOCAL_BASE 40000
#define BENCH_NAME_PREFIX "bench"

struct LoadOptions {
    LoadMode mode = LOAD_RATE;
    uint32_t iTarget = 0x7F000001; /* host byte order */
    int iPort = 113;
    int iCount = 100;        /* connections in all */
    int iConcurrency = 16;   /* rate and records: connections open at once */
    int iPaceMs = 0;         /* hold: spread the openings over this long */
    int iProcs = 1;          /* processes sharing the connections */
    int iSources = 1;        /* source addresses 127.0.0.1 .. 127.0.0.N */
    int iNodes = 256;        /* queries and records cycle over these nodes */
    int iNodeStride = 1;     /* query i asks for node (i * stride) % nodes */
    int iRealPairs = 0;      /* >0: ask for the ports of real connections */
    char sRealName[64] = ""; /* the user those real connections belong to */
    int iRegisterPort = 0;   /* >0: register the real pairs there as nodes */
    RecordKind record = RECORD_CONNECT;
    int iTimeoutMs = 20000;   /* one connection's limit */
    int iRunLimitMs = 120000; /* the whole run's limit */
};

/* What one process measured. Times are microseconds on the monotonic clock;
   latencies are measured from the connect call. */
struct LoadResult {
    int64_t iAttempted = 0;
    int64_t iCompleted = 0; /* the server closed the connection */
    int64_t iCorrect = 0;   /* ... after sending exactly the expected reply */
    int64_t iFailed = 0;    /* connect error, reset, timeout or wrong reply */
    int64_t iConnectErrors = 0;
    int64_t iResets = 0;
    int64_t iTimeouts = 0;
    int64_t iWrongReplies = 0;
    int64_t tFirstStart = 0;
    int64_t tLastEnd = 0;
    std::vector<uint32_t> firstReplyUs; /* completed connections that got bytes */
    std::vector<uint32_t> closeUs;      /* completed connections */
    std::vector<uint32_t> endUs;        /* their closes, from the start */
};

int64_t NowUs(void);

/* Runs this process's share (items proc, proc + procs, ...) of the load,
   starting at tGo. */
void RunLoad(const LoadOptions *opt, int proc, int64_t tGo, LoadResult *result);

/* Where a run's end times are counted from. */
extern int64_t tLoadGo;

/* Prepares what must exist before the start (real connection pairs). */
int PrepareLoad(const LoadOptions *opt, int proc);

#endif
