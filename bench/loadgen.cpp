/* bench/loadgen.cpp: quillet-load, the benchmark load generator. Reads the
   options, shares the connections among worker processes (each process may
   hold only as many descriptors as the open-file limit allows), starts them
   together, merges what they measured and prints it with its own CPU use. */
#include "loadgen.h"

#include <algorithm>
#include <arpa/inet.h>
#include <errno.h>
#include <pwd.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

/* Time the workers get between being told the start and the start. */
static const int64_t START_DELAY_US = 50000;

static const char USAGE[] =
    "usage: quillet-load hold|rate|records [options]\n"
    "  --target ADDR:PORT  server to load (default 127.0.0.1:113)\n"
    "  --count N           connections in all (default 100)\n"
    "  --concurrency C     rate, records: connections open at once (default 16)\n"
    "  --pace-ms MS        hold: spread the openings evenly over MS (default 0: at once)\n"
    "  --procs K           worker processes sharing the connections (default 1)\n"
    "  --sources S         spread over 127.0.0.1 .. 127.0.0.S (default 1); when an\n"
    "                      address runs out of ephemeral ports, the next is added\n"
    "  --nodes N           queries and records cycle over nodes 0..N-1 (default 256)\n"
    "  --node-stride K     query i asks for node (i*K) mod N (default 1)\n"
    "  --record connect|quit   records: which record to send (default connect)\n"
    "  --real-pairs P      ask for the ports of P real loopback connections that\n"
    "                      this program holds (for servers that read the kernel's\n"
    "                      tables); the expected user is this program's. Records\n"
    "                      name these connections, so that their sender holds them\n"
    "  --register-port P   with --real-pairs: first register the pairs, as Palaver\n"
    "                      would, on the notification port P of 127.0.0.1 (pair i\n"
    "                      of process k as node k*P+i); the expected user is then\n"
    "                      that node's bench<n>\n"
    "  --timeout-ms MS     one connection's limit (default 20000)\n"
    "  --run-limit-ms MS   the whole run's limit (default 120000)\n"
    "\n"
    "Queries ask for node n's ports (local 40000+n, remote 20000+n) and expect\n"
    "the user bench<n>; records store exactly that. Prints a summary and one\n"
    "RESULT line of key=value pairs. Percentiles count connections that\n"
    "failed as never answered, printed as -1. Exits 1 unless every\n"
    "connection was answered correctly.\n";

static int Usage(void)
{
    fputs(USAGE, stderr);
    return 2;
}

static bool bParseTarget(const char *arg, LoadOptions *opt)
{
    char host[64];
    const char *colon = strrchr(arg, ':');
    if (colon == nullptr || colon - arg >= (int)sizeof(host))
        return false;
    memcpy(host, arg, (size_t)(colon - arg));
    host[colon - arg] = '\0';
    in_addr addr;
    if (inet_pton(AF_INET, host, &addr) != 1)
        return false;
    opt->iTarget = ntohl(addr.s_addr);
    opt->iPort = atoi(colon + 1);
    return opt->iPort > 0 && opt->iPort < 65536;
}

static bool bParseOptions(int argc, char **argv, LoadOptions *opt)
{
    if (argc < 2)
        return false;
    if (strcmp(argv[1], "hold") == 0)
        opt->mode = LOAD_HOLD;
    else if (strcmp(argv[1], "rate") == 0)
        opt->mode = LOAD_RATE;
    else if (strcmp(argv[1], "records") == 0)
        opt->mode = LOAD_RECORDS;
    else
        return false;
    for (int i = 2; i < argc; i++) {
        const char *name = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (value == nullptr)
            return false;
        i++;
        if (strcmp(name, "--target") == 0) {
            if (!bParseTarget(value, opt))
                return false;
        } else if (strcmp(name, "--count") == 0) {
            opt->iCount = atoi(value);
        } else if (strcmp(name, "--concurrency") == 0) {
            opt->iConcurrency = atoi(value);
        } else if (strcmp(name, "--pace-ms") == 0) {
            opt->iPaceMs = atoi(value);
        } else if (strcmp(name, "--procs") == 0) {
            opt->iProcs = atoi(value);
        } else if (strcmp(name, "--sources") == 0) {
            opt->iSources = atoi(value);
        } else if (strcmp(name, "--nodes") == 0) {
            opt->iNodes = atoi(value);
        } else if (strcmp(name, "--node-stride") == 0) {
            opt->iNodeStride = atoi(value);
        } else if (strcmp(name, "--record") == 0) {
            if (strcmp(value, "connect") == 0)
                opt->record = RECORD_CONNECT;
            else if (strcmp(value, "quit") == 0)
                opt->record = RECORD_QUIT;
            else
                return false;
        } else if (strcmp(name, "--real-pairs") == 0) {
            opt->iRealPairs = atoi(value);
        } else if (strcmp(name, "--register-port") == 0) {
            opt->iRegisterPort = atoi(value);
        } else if (strcmp(name, "--timeout-ms") == 0) {
            opt->iTimeoutMs = atoi(value);
        } else if (strcmp(name, "--run-limit-ms") == 0) {
            opt->iRunLimitMs = atoi(value);
        } else {
            return false;
        }
    }
    return opt->iCount > 0 && opt->iConcurrency > 0 && opt->iProcs > 0 && opt->iProcs <= 64 &&
           opt->iSources > 0 && opt->iSources <= LOAD_MAX_SOURCES && opt->iNodes > 0 &&
           opt->iNodes <= 256 && opt->iPaceMs >= 0 && opt->iRealPairs >= 0 && opt->iTimeoutMs > 0 &&
           opt->iRunLimitMs > 0;
}

static void RaiseFileLimit(void)
{
    rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
}

static bool bWriteAll(int fd, const void *data, size_t len)
{
    const char *p = (const char *)data;
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= (size_t)n;
    }
    return true;
}

static bool bReadAll(int fd, void *data, size_t len)
{
    char *p = (char *)data;
    while (len > 0) {
        ssize_t n = read(fd, p, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= (size_t)n;
    }
    return true;
}

/* The fixed part of a worker's result as it crosses the pipe. */
struct WireResult {
    int64_t counts[10];
    uint64_t iFirsts;
    uint64_t iCloses; /* closeUs and endUs have this many each */
};

static void SendResult(int fd, const LoadResult *r)
{
    WireResult w;
    int64_t counts[10] = {r->iAttempted,     r->iCompleted, r->iCorrect,  r->iFailed,
                          r->iConnectErrors, r->iResets,    r->iTimeouts, r->iWrongReplies,
                          r->tFirstStart,    r->tLastEnd};
    memcpy(w.counts, counts, sizeof(counts));
    w.iFirsts = r->firstReplyUs.size();
    w.iCloses = r->closeUs.size();
    bWriteAll(fd, &w, sizeof(w));
    bWriteAll(fd, r->firstReplyUs.data(), w.iFirsts * sizeof(uint32_t));
    bWriteAll(fd, r->closeUs.data(), w.iCloses * sizeof(uint32_t));
    bWriteAll(fd, r->endUs.data(), w.iCloses * sizeof(uint32_t));
}

static bool bMergeResult(int fd, LoadResult *total)
{
    WireResult w;
    if (!bReadAll(fd, &w, sizeof(w)))
        return false;
    total->iAttempted += w.counts[0];
    total->iCompleted += w.counts[1];
    total->iCorrect += w.counts[2];
    total->iFailed += w.counts[3];
    total->iConnectErrors += w.counts[4];
    total->iResets += w.counts[5];
    total->iTimeouts += w.counts[6];
    total->iWrongReplies += w.counts[7];
    if (w.counts[8] != 0 && (total->tFirstStart == 0 || w.counts[8] < total->tFirstStart))
        total->tFirstStart = w.counts[8];
    if (w.counts[9] > total->tLastEnd)
        total->tLastEnd = w.counts[9];
    size_t firsts = total->firstReplyUs.size(), closes = total->closeUs.size();
    total->firstReplyUs.resize(firsts + w.iFirsts);
    total->closeUs.resize(closes + w.iCloses);
    total->endUs.resize(closes + w.iCloses);
    return bReadAll(fd, total->firstReplyUs.data() + firsts, w.iFirsts * sizeof(uint32_t)) &&
           bReadAll(fd, total->closeUs.data() + closes, w.iCloses * sizeof(uint32_t)) &&
           bReadAll(fd, total->endUs.data() + closes, w.iCloses * sizeof(uint32_t));
}

/* A worker: prepare, say so, wait for the start time, run, report. */
static void Worker(const LoadOptions *opt, int proc, int goFd, int resultFd)
{
    RaiseFileLimit();
    char ready = PrepareLoad(opt, proc) == 0 ? 'R' : 'E';
    bWriteAll(resultFd, &ready, 1);
    int64_t tGo = 0;
    if (ready != 'R' || !bReadAll(goFd, &tGo, sizeof(tGo)))
        _exit(1);
    LoadResult result;
    RunLoad(opt, proc, tGo, &result);
    SendResult(resultFd, &result);
    _exit(0);
}

/* Connections that never got there count as slower than any that did, so
   a percentile that lands on one is reported as -1 (never). */
static const uint32_t NEVER = UINT32_MAX;

static double Percentile(std::vector<uint32_t> &v, double p)
{
    if (v.empty())
        return -1.0;
    size_t rank = (size_t)(p / 100.0 * (double)v.size() + 0.999999);
    if (rank < 1)
        rank = 1;
    if (rank > v.size())
        rank = v.size();
    return v[rank - 1] == NEVER ? -1.0 : v[rank - 1] / 1000.0;
}

static const char *ModeName(LoadMode mode)
{
    return mode == LOAD_HOLD ? "hold" : mode == LOAD_RATE ? "rate" : "records";
}

static double CpuMs(const rusage &ru)
{
    return ru.ru_utime.tv_sec * 1000.0 + ru.ru_utime.tv_usec / 1000.0 +
           ru.ru_stime.tv_sec * 1000.0 + ru.ru_stime.tv_usec / 1000.0;
}

static void Report(const LoadOptions *opt, LoadResult *r, double cpuMs, double wallMs)
{
    /* Records get no reply, so only their closes have a latency. */
    if (opt->mode != LOAD_RECORDS)
        r->firstReplyUs.resize((size_t)r->iAttempted, NEVER);
    r->closeUs.resize((size_t)r->iAttempted, NEVER);
    std::sort(r->firstReplyUs.begin(), r->firstReplyUs.end());
    std::sort(r->closeUs.begin(), r->closeUs.end());
    /* The rate of the first 99%: a fixed total's rate is set by its last
       connections, which may be waiting out SYN retransmissions. */
    r->endUs.resize((size_t)r->iAttempted, NEVER);
    std::sort(r->endUs.begin(), r->endUs.end());
    double end99 = Percentile(r->endUs, 99);
    double rate99 = end99 > 0 ? 0.99 * (double)r->iAttempted / (end99 / 1000.0) : 0.0;
    double spanS = r->tLastEnd > r->tFirstStart ? (r->tLastEnd - r->tFirstStart) / 1e6 : 0.0;
    double rate = spanS > 0 ? r->iCompleted / spanS : 0.0;
    double cpuPct = wallMs > 0 ? 100.0 * cpuMs / wallMs : 0.0;

    printf("quillet-load %s: %lld attempted, %lld completed, %lld correct, %lld failed "
           "(connect %lld, reset %lld, timeout %lld, wrong reply %lld)\n",
           ModeName(opt->mode), (long long)r->iAttempted, (long long)r->iCompleted,
           (long long)r->iCorrect, (long long)r->iFailed, (long long)r->iConnectErrors,
           (long long)r->iResets, (long long)r->iTimeouts, (long long)r->iWrongReplies);
    printf("  first reply ms: p50 %.1f  p90 %.1f  p99 %.1f  max %.1f\n",
           Percentile(r->firstReplyUs, 50), Percentile(r->firstReplyUs, 90),
           Percentile(r->firstReplyUs, 99), Percentile(r->firstReplyUs, 100));
    printf("  close ms:       p50 %.1f  p90 %.1f  p99 %.1f  max %.1f\n", Percentile(r->closeUs, 50),
           Percentile(r->closeUs, 90), Percentile(r->closeUs, 99), Percentile(r->closeUs, 100));
    printf("  %.0f completed/s over %.3f s (the first 99%%: %.0f/s); generator CPU %.0f ms "
           "(%.0f%% of one core)\n",
           rate, spanS, rate99, cpuMs, cpuPct);
    printf("RESULT mode=%s count=%d concurrency=%d pace_ms=%d procs=%d attempted=%lld "
           "completed=%lld correct=%lld failed=%lld connect_err=%lld reset=%lld timeout=%lld "
           "wrong=%lld first_p50=%.1f first_p90=%.1f first_p99=%.1f first_max=%.1f "
           "close_p50=%.1f close_p90=%.1f close_p99=%.1f close_max=%.1f rate=%.0f span_s=%.3f "
           "rate99=%.0f gen_cpu_ms=%.0f gen_cpu_pct=%.0f\n",
           ModeName(opt->mode), opt->iCount, opt->iConcurrency, opt->iPaceMs, opt->iProcs,
           (long long)r->iAttempted, (long long)r->iCompleted, (long long)r->iCorrect,
           (long long)r->iFailed, (long long)r->iConnectErrors, (long long)r->iResets,
           (long long)r->iTimeouts, (long long)r->iWrongReplies, Percentile(r->firstReplyUs, 50),
           Percentile(r->firstReplyUs, 90), Percentile(r->firstReplyUs, 99),
           Percentile(r->firstReplyUs, 100), Percentile(r->closeUs, 50), Percentile(r->closeUs, 90),
           Percentile(r->closeUs, 99), Percentile(r->closeUs, 100), rate, spanS, rate99, cpuMs,
           cpuPct);
    fflush(stdout);
}

int main(int argc, char **argv)
{
    LoadOptions opt;
    if (!bParseOptions(argc, argv, &opt))
        return Usage();
    if (opt.iRealPairs > 0) {
        passwd *pw = getpwuid(geteuid());
        snprintf(opt.sRealName, sizeof(opt.sRealName), "%s", pw != nullptr ? pw->pw_name : "root");
    }
    signal(SIGPIPE, SIG_IGN);

    int goPipe[2];
    if (pipe(goPipe) != 0)
        return 1;
    std::vector<int> resultFds;
    std::vector<pid_t> pids;
    for (int p = 0; p < opt.iProcs; p++) {
        int resultPipe[2];
        if (pipe(resultPipe) != 0)
            return 1;
        pid_t pid = fork();
        if (pid < 0) {
            perror("quillet-load: fork");
            return 1;
        }
        if (pid == 0) {
            close(goPipe[1]);
            close(resultPipe[0]);
            for (int fd : resultFds)
                close(fd);
            Worker(&opt, p, goPipe[0], resultPipe[1]);
        }
        close(resultPipe[1]);
        resultFds.push_back(resultPipe[0]);
        pids.push_back(pid);
    }
    close(goPipe[0]);

    bool bReady = true;
    for (int fd : resultFds) {
        char ready = 0;
        if (!bReadAll(fd, &ready, 1) || ready != 'R')
            bReady = false;
    }
    int64_t tGo = NowUs() + START_DELAY_US;
    for (int p = 0; p < opt.iProcs && bReady; p++)
        bWriteAll(goPipe[1], &tGo, sizeof(tGo));
    close(goPipe[1]);

    LoadResult total;
    bool bMerged = bReady;
    for (int fd : resultFds) {
        if (bReady && !bMergeResult(fd, &total))
            bMerged = false;
        close(fd);
    }
    for (pid_t pid : pids)
        waitpid(pid, nullptr, 0);
    double wallMs = (NowUs() - tGo) / 1000.0;
    if (!bMerged) {
        fprintf(stderr, "quillet-load: a worker failed\n");
        return 1;
    }
    rusage self, children;
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &children);
    Report(&opt, &total, CpuMs(self) + CpuMs(children), wallMs);
    return total.iCorrect == opt.iCount ? 0 : 1;
}
