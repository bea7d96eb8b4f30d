/* console/main.cpp: Quillet as a console program. The log goes to standard
   output, user errors to standard error; SIGINT or SIGTERM ends it. */
#include "account.h"
#include "hostlock.h"
#include "journal.h"
#include "../app/services.h"
#include "../app/switches.h"
#include "../common/keptlog.h"
#include "../common/logqueue.h"
#include "../common/platform.h"
#include "../ident/identlisten.h"

#include <errno.h>
#include <mutex>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

/* The most the writer puts out with one write. */
static const int LOG_BATCH_BYTES = 64 * 1024;

static std::mutex ConsoleLock;

/* Many terminals take the bytes 0x80-0x9F as C1 controls (0x9B starts a
   sequence as ESC [ does), so on the console they are written as \xNN; the
   window keeps them, as letters of the board's code pages. The core writes
   everything else a peer sends escaped already. */
static bool bC1(unsigned char c)
{
    return c >= 0x80 && c <= 0x9F;
}

/* Handlers only queue their lines: a terminal paused with Ctrl-S or a pipe
   nobody reads holds up the writer, never an answer. */
void MsgOut(const char *text)
{
    KeptLogPut(text);
    const char *p = text;
    while (*p != '\0' && !bC1((unsigned char)*p))
        p++;
    if (*p == '\0') {
        LogQueuePut(text);
        return;
    }
    std::string shown;
    for (p = text; *p != '\0'; p++) {
        char hex[5];
        snprintf(hex, sizeof(hex), "\\x%02x", (unsigned char)*p);
        if (bC1((unsigned char)*p))
            shown += hex;
        else
            shown += *p;
    }
    LogQueuePut(shown.c_str());
}

/* Set at start: each line goes out with its priority for the journal. */
static bool bJournal = false;

/* The batch as the journal takes it: "<N>" before each line that starts
   in it; atLineStart says whether the batch starts a line. */
static int WithPriorities(const char *batch, int len, bool *atLineStart, std::string *out)
{
    out->clear();
    for (int i = 0; i < len; i++) {
        if (*atLineStart) {
            char prefix[4] = {'<', (char)('0' + LogPriority(batch + i)), '>', '\0'};
            out->append(prefix);
        }
        out->push_back(batch[i]);
        *atLineStart = batch[i] == '\n';
    }
    return (int)out->size();
}

/* Puts the log out on standard output, in order. A closed output loses
   what is written to it; the program goes on. */
static void *LogWriter(void *)
{
    static char batch[LOG_BATCH_BYTES];
    std::string prefixed;
    bool atLineStart = true;
    for (;;) {
        int len = LogQueueWaitTake(batch, sizeof(batch));
        const char *out = batch;
        if (bJournal) {
            len = WithPriorities(batch, len, &atLineStart, &prefixed);
            out = prefixed.data();
        }
        int at = 0;
        while (at < len) {
            ssize_t n = write(STDOUT_FILENO, out + at, (size_t)(len - at));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            at += (int)n;
        }
    }
    return nullptr;
}

int UserErr(const char *text)
{
    std::lock_guard<std::mutex> hold(ConsoleLock);
    fprintf(stderr, "Quillet: %s\n", text);
    fflush(stderr);
    return 1;
}

/* The log on standard output may go nowhere anybody looks; the reason
   for ending goes to standard error as well. */
void FatalErr(const char *text)
{
    UserErr(text);
}

/* Every held IDENT connection costs a descriptor; the soft limit of 1024
   would refuse a busy board's chat servers long before memory runs out. */
static void RaiseFileLimit(void)
{
    rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
}

int main(int argc, char **argv)
{
    Switches sw;
    char error[160];
    int bReadable = ReadSwitches(argc, argv, &sw, error, sizeof(error)) == 0;
    /* A Windows service has no counterpart here: systemd runs the program
       as it is (quillet.service). */
    if (bReadable && sw.bService) {
        snprintf(error, sizeof(error), "--service is for quillet.exe on Windows: '--service'");
        bReadable = 0;
    }
    uid_t userUid = (uid_t)-1;
    gid_t userGid = 0;
    int bAccount = bReadable && sw.sUser[0] != '\0';
    int bUnknownAccount = bAccount && LookUpAccount(sw.sUser, &userUid, &userGid) != 0;
    /* A second copy ignores its switches, as it ignores everything else. */
    uid_t holder;
    HostClaim claim = ClaimHost(userUid, &holder);
    if (claim == HOST_TAKEN) {
        fputs("Quillet: another Quillet is already running on this host\n", stderr);
        return 1;
    }
    if (!bReadable) {
        fprintf(stderr, "Quillet: %s\n", error);
        return SWITCHES_BAD_STATUS;
    }
    if (bUnknownAccount) {
        fprintf(stderr, "Quillet: there is no account '%s' to run as (--user)\n", sw.sUser);
        return 1;
    }
    RaiseFileLimit();
    /* Port 113 needs root, which the rest of the program does not: bound
       before any other thread starts, then root is given up for good. A
       bind that failed is logged at its place later. */
    int bRoot = geteuid() == 0;
    if (bAccount && bRoot) {
        BindIdentPortEarly();
        if (GiveUpRoot(userUid, userGid) != 0) {
            fprintf(stderr, "Quillet: could not give up root for '%s': %s\n", sw.sUser,
                    strerror(errno));
            return 1;
        }
    }

    /* The signals are taken by this thread alone: block them before any
       other thread starts, so that every thread inherits the mask. */
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    /* A closed output must not end the program. */
    signal(SIGPIPE, SIG_IGN);

    bJournal = bStdoutIsJournal();
    pthread_t writer;
    if (pthread_create(&writer, nullptr, LogWriter, nullptr) == 0)
        pthread_detach(writer);
    else
        UserErr("Unable to start the log writer");

    ResetServices();
    StartKeptLog(&sw);
    SayStarted();
    if (bRoot && !bAccount)
        MsgOut("- Running as root: --user=NAME gives root up once port 113 is bound\r\n");
    else if (bAccount && !bRoot)
        MsgOut("- Not started as root: --user has no root to give up\r\n");
    if (claim == HOST_SQUATTED) {
        char line[160];
        snprintf(line, sizeof(line),
                 "- The lock of one Quillet per host is held by no Quillet (uid <%d>): running "
                 "without it\r\n",
                 holder == (uid_t)-1 ? -1 : (int)holder);
        MsgOut(line);
    }
    StartServices(nullptr, &sw);

    int sig = 0;
    sigwait(&stopSignals, &sig);
    KeptLogDrain(LOG_DRAIN_MS);
    PlatExit(0);
    return 0;
}
