/* bench/winwait.cpp: what one readiness wait costs on Windows with many idle
   connections open, for the three ways Windows offers to wait: select over
   a raised FD_SETSIZE (what the IDENT loop does now), WSAPoll, and a
   completion port with a zero-byte receive posted on every socket.

   The program makes its own loopback connections: N idle ones and one
   active pair, on which one byte is sent before every wait; each wait must
   report that one socket and nothing else.

     quillet-winwait [--waits K] [N ...]    (default: 200 waits, N = 64 256 1024)
     quillet-winwait --table N ...


   One line per method and N: the mean of the wait itself (for select the
   set's rebuild, for WSAPoll the scan of the results, for the completion
   port the receive posted again) and of the whole round (send, wait,
   receive the byte). With --table, what one copy of the connection table
   costs with N connections open (2N + 1 rows of loopback): the IDENT
   loop makes at most ten a second when it checks answers. Never shipped:
   it links ws2_32, which the product does not. */

/* The largest N, and room for the listener and the wake-up the product
   adds. Winsock's fd_set is a counted array, so the size costs nothing
   for smaller sets. */
#define N_MAX 1024
#define FD_SETSIZE (N_MAX + 8)

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <vector>

static const int WAITS_DEFAULT = 200;
static const int WARMUP_WAITS = 10;
static const int SIZES_DEFAULT[] = {64, 256, 1024};
/* A wait that sees nothing within this long has failed. */
static const int WAIT_LIMIT_MS = 5000;
/* Each method's rounds stop after this long, so that a slow emulated run
   still ends; the line says how many were done. */
static const double METHOD_BUDGET_S = 40.0;
/* How long the aborted receives may take to come back after the sockets
   are closed. */
static const int DRAIN_LIMIT_MS = 2000;

struct Conns {
    SOCKET listener;
    std::vector<SOCKET> idle;    /* accepted ends: the watched ones */
    std::vector<SOCKET> clients; /* their peers, held open */
    SOCKET activeIn;             /* accepted end of the active pair */
    SOCKET activeOut;            /* its client, which sends the byte */
};

struct Figures {
    int waits;
    double waitUs;  /* total time in the wait and its bookkeeping */
    double roundUs; /* total time of whole rounds */
};

static double NowUs(void)
{
    static LARGE_INTEGER hz = {};
    if (hz.QuadPart == 0)
        QueryPerformanceFrequency(&hz);
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return (double)t.QuadPart * 1e6 / (double)hz.QuadPart;
}

static void Fail(const char *what, int n)
{
    fprintf(stderr, "winwait: N=%d %s failed (error %d)\n", n, what, WSAGetLastError());
    exit(1);
}

/* Connects one client and accepts it, one at a time, so that no accept
   queue limit comes into play. */
static void ConnectPair(SOCKET listener, const sockaddr_in *at, SOCKET *in, SOCKET *out, int n)
{
    SOCKET c = socket(AF_INET, SOCK_STREAM, 0);
    if (c == INVALID_SOCKET || connect(c, (const sockaddr *)at, sizeof(*at)) != 0)
        Fail("connect", n);
    SOCKET a = accept(listener, nullptr, nullptr);
    if (a == INVALID_SOCKET)
        Fail("accept", n);
    *in = a;
    *out = c;
}

static void MakeConns(Conns *cs, int n)
{
    cs->listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at;
    memset(&at, 0, sizeof(at));
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof(at);
    if (cs->listener == INVALID_SOCKET || bind(cs->listener, (sockaddr *)&at, sizeof(at)) != 0 ||
        getsockname(cs->listener, (sockaddr *)&at, &len) != 0 || listen(cs->listener, 16) != 0)
        Fail("listener", n);
    cs->idle.resize(n);
    cs->clients.resize(n);
    for (int i = 0; i < n; i++)
        ConnectPair(cs->listener, &at, &cs->idle[i], &cs->clients[i], n);
    ConnectPair(cs->listener, &at, &cs->activeIn, &cs->activeOut, n);
    /* One byte at a time, each sent at once. */
    BOOL one = TRUE;
    setsockopt(cs->activeOut, IPPROTO_TCP, TCP_NODELAY, (const char *)&one, sizeof(one));
}

static void CloseConns(Conns *cs)
{
    for (size_t i = 0; i < cs->idle.size(); i++) {
        closesocket(cs->idle[i]);
        closesocket(cs->clients[i]);
    }
    closesocket(cs->activeIn);
    closesocket(cs->activeOut);
    closesocket(cs->listener);
}

static void SendByte(const Conns *cs, int n)
{
    char b = 'q';
    if (send(cs->activeOut, &b, 1, 0) != 1)
        Fail("send", n);
}

static void TakeByte(const Conns *cs, int n)
{
    char b;
    if (recv(cs->activeIn, &b, 1, 0) != 1)
        Fail("recv", n);
}

static void Report(const char *method, int n, const Figures *f, const char *extra)
{
    printf("winwait: %s N=%d waits=%d mean_us=%.1f round_us=%.1f%s\n", method, n, f->waits,
           f->waitUs / f->waits, f->roundUs / f->waits, extra);
    fflush(stdout);
}

/* The set rebuilt before every call, as the IDENT loop rebuilds it. */
static int SelectWait(const Conns *cs, fd_set *set)
{
    set->fd_count = 0;
    for (SOCKET s : cs->idle)
        set->fd_array[set->fd_count++] = s;
    set->fd_array[set->fd_count++] = cs->activeIn;
    timeval tv = {WAIT_LIMIT_MS / 1000, 0};
    int got = select(0, set, nullptr, nullptr, &tv);
    return got == 1 && set->fd_count == 1 && set->fd_array[0] == cs->activeIn;
}

static int PollWait(const Conns *cs, std::vector<WSAPOLLFD> *fds)
{
    int got = WSAPoll(fds->data(), (ULONG)fds->size(), WAIT_LIMIT_MS);
    if (got != 1)
        return 0;
    /* The caller finds the ready ones by looking at every entry. */
    int found = -1;
    for (size_t i = 0; i < fds->size(); i++)
        if ((*fds)[i].revents != 0)
            found = (int)i;
    return found >= 0 && (*fds)[found].fd == cs->activeIn;
}

struct Posted {
    OVERLAPPED ov;
    SOCKET s;
};

/* A receive of no bytes completes when the socket has something to read,
   and takes none of it. */
static int PostZeroRecv(Posted *p)
{
    static char none;
    memset(&p->ov, 0, sizeof(p->ov));
    WSABUF buf = {0, &none};
    DWORD got = 0, flags = 0;
    if (WSARecv(p->s, &buf, 1, &got, &flags, &p->ov, nullptr) == 0)
        return 0;
    return WSAGetLastError() == WSA_IO_PENDING ? 0 : -1;
}

static int PortWait(HANDLE port, Posted *active)
{
    DWORD bytes = 0;
    ULONG_PTR key = 0;
    OVERLAPPED *ov = nullptr;
    if (!GetQueuedCompletionStatus(port, &bytes, &key, &ov, WAIT_LIMIT_MS))
        return 0;
    return ov == &active->ov;
}

enum Method { BY_SELECT, BY_POLL };

static void MeasureReadiness(Method m, const Conns *cs, int n, int waits)
{
    fd_set *set = (fd_set *)malloc(sizeof(fd_set));
    std::vector<WSAPOLLFD> fds;
    for (SOCKET s : cs->idle)
        fds.push_back({s, POLLRDNORM, 0});
    fds.push_back({cs->activeIn, POLLRDNORM, 0});

    Figures f = {0, 0, 0};
    double tStart = NowUs();
    for (int i = 0; i < WARMUP_WAITS + waits; i++) {
        double t0 = NowUs();
        SendByte(cs, n);
        double t1 = NowUs();
        int ok = m == BY_SELECT ? SelectWait(cs, set) : PollWait(cs, &fds);
        double t2 = NowUs();
        if (!ok)
            Fail(m == BY_SELECT ? "select" : "WSAPoll", n);
        TakeByte(cs, n);
        double t3 = NowUs();
        if (i >= WARMUP_WAITS) {
            f.waits++;
            f.waitUs += t2 - t1;
            f.roundUs += t3 - t0;
        }
        if (t3 - tStart > METHOD_BUDGET_S * 1e6 && f.waits > 0)
            break;
    }
    free(set);
    Report(m == BY_SELECT ? "select" : "WSAPoll", n, &f, "");
}

/* Ends with the sockets closed: a posted receive holds its OVERLAPPED until
   the port gives it back, aborted, after the close. */
static void MeasurePort(Conns *cs, int n, int waits)
{
    HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
    if (port == nullptr)
        Fail("CreateIoCompletionPort", n);
    Posted *posted = new Posted[n + 1];
    for (int i = 0; i < n; i++)
        posted[i].s = cs->idle[i];
    posted[n].s = cs->activeIn;
    Posted *active = &posted[n];

    double t0 = NowUs();
    for (int i = 0; i <= n; i++)
        if (CreateIoCompletionPort((HANDLE)posted[i].s, port, 0, 0) == nullptr ||
            PostZeroRecv(&posted[i]) != 0)
            Fail("association", n);
    double setupUs = (NowUs() - t0) / (n + 1);

    /* An idle socket's receive must not have completed. */
    DWORD bytes;
    ULONG_PTR key;
    OVERLAPPED *ov;
    if (GetQueuedCompletionStatus(port, &bytes, &key, &ov, 0) || ov != nullptr)
        Fail("idle receive completed", n);

    Figures f = {0, 0, 0};
    double tStart = NowUs();
    for (int i = 0; i < WARMUP_WAITS + waits; i++) {
        double r0 = NowUs();
        SendByte(cs, n);
        double r1 = NowUs();
        int ok = PortWait(port, active);
        double r2 = NowUs();
        if (!ok)
            Fail("GetQueuedCompletionStatus", n);
        TakeByte(cs, n);
        double r3 = NowUs();
        if (PostZeroRecv(active) != 0)
            Fail("WSARecv", n);
        double r4 = NowUs();
        if (i >= WARMUP_WAITS) {
            f.waits++;
            f.waitUs += (r2 - r1) + (r4 - r3);
            f.roundUs += r4 - r0;
        }
        if (r4 - tStart > METHOD_BUDGET_S * 1e6 && f.waits > 0)
            break;
    }

    CloseConns(cs);
    int back = 0;
    double tDrain = NowUs();
    while (back < n + 1 && NowUs() - tDrain < DRAIN_LIMIT_MS * 1000.0) {
        if (GetQueuedCompletionStatus(port, &bytes, &key, &ov, 100) || ov != nullptr)
            back++;
    }
    char extra[96];
    snprintf(extra, sizeof(extra), " setup_us_per_socket=%.1f aborted_back=%d/%d", setupUs, back,
             n + 1);
    Report("iocp", n, &f, extra);
    CloseHandle(port);
    /* A receive not given back may still write its OVERLAPPED: then the
       memory is left to the process's end. */
    if (back == n + 1)
        delete[] posted;
}

/* The largest --table N. */
#define TABLE_N_MAX 16000
static const int TABLE_COPIES = 20;

static void MeasureTable(int n)
{
    Conns cs;
    MakeConns(&cs, n);
    std::vector<char> table;
    DWORD size = 0;
    double total = 0;
    DWORD rows = 0;
    for (int i = 0; i < TABLE_COPIES; i++) {
        double t0 = NowUs();
        DWORD rc;
        while ((rc = GetExtendedTcpTable(table.data(), &size, FALSE, AF_INET,
                                         TCP_TABLE_BASIC_CONNECTIONS, 0)) ==
               ERROR_INSUFFICIENT_BUFFER)
            table.resize(size);
        total += NowUs() - t0;
        if (rc != NO_ERROR)
            Fail("GetExtendedTcpTable", n);
        rows = ((const MIB_TCPTABLE *)table.data())->dwNumEntries;
    }
    printf("winwait: table N=%d rows=%lu copies=%d mean_us=%.1f\n", n, (unsigned long)rows,
           TABLE_COPIES, total / TABLE_COPIES);
    fflush(stdout);
    CloseConns(&cs);
}

int main(int argc, char **argv)
{
    int waits = WAITS_DEFAULT;
    bool table = false;
    std::vector<int> sizes;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "--waits") == 0 && i + 1 < argc)
            waits = atoi(argv[++i]);
        else if (strcmp(argv[i], "--table") == 0)
            table = true;
        else
            sizes.push_back(atoi(argv[i]));
    }
    int nMax = table ? TABLE_N_MAX : N_MAX;
    if (sizes.empty())
        sizes.assign(SIZES_DEFAULT, SIZES_DEFAULT + sizeof(SIZES_DEFAULT) / sizeof(int));
    for (int n : sizes) {
        if (n < 1 || n > nMax || waits < 1) {
            fprintf(stderr,
                    "usage: quillet-winwait [--waits K] [N ...] | --table N ..., 1 <= N <= %d\n",
                    nMax);
            return 2;
        }
    }

    WSADATA wsd;
    if (WSAStartup(MAKEWORD(2, 2), &wsd) != 0) {
        fprintf(stderr, "winwait: WSAStartup failed\n");
        return 1;
    }
    printf("winwait: build=%s\n", sizeof(void *) == 8 ? "x86_64" : "i686");
    for (int n : sizes) {
        if (table) {
            MeasureTable(n);
            continue;
        }
        Conns cs;
        double t0 = NowUs();
        MakeConns(&cs, n);
        printf("winwait: N=%d connected in %.0f ms\n", n, (NowUs() - t0) / 1000);
        MeasureReadiness(BY_SELECT, &cs, n, waits);
        MeasureReadiness(BY_POLL, &cs, n, waits);
        MeasurePort(&cs, n, waits); /* last: it closes the sockets */
    }
    WSACleanup();
    return 0;
}
