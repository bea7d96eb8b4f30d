/* bench/loadrun.cpp: the generator's engine. One epoll loop opens this
   process's connections on schedule, sends each its query or record, reads
   until the server closes and checks what came back. */
#include "loadgen.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#ifndef IP_BIND_ADDRESS_NO_PORT
#define IP_BIND_ADDRESS_NO_PORT 24
#endif

/* Replies longer than this are counted but not kept: every correct one is
   shorter. */
static const int REPLY_KEEP = 512;
/* Connections opened between two looks at the events when nothing paces
   them: large enough to open fast, small enough to answer early replies. */
static const int OPEN_BATCH = 64;
static const int EVENT_BATCH = 512;
static const int SWEEP_US = 100000;
static const int CONNECT_RECORD_SIZE = 150;
static const int QUIT_RECORD_SIZE = 9;

enum ConnState { CONN_IDLE, CONN_CONNECTING, CONN_READING, CONN_DONE };

struct Conn {
    int fd;
    ConnState state;
    int item;
    int64_t tStart;
    int64_t tFirst;
    int iPayloadLen;
    int iSent;
    int iReplyLen;
    char payload[CONNECT_RECORD_SIZE];
    char expected[192];
    char reply[REPLY_KEEP];
};

/* A real connection whose two ports a query names, for servers that look
   connections up in the kernel's tables. */
struct RealPair {
    int iLocalPort;  /* port on the server's side: 127.0.0.1 */
    int iRemotePort; /* port on the asking side */
    int iSource;     /* the source address the asking side uses */
    int iNode;       /* the node it is registered as, or -1 */
};

int64_t tLoadGo = 0;

static std::vector<RealPair> RealPairs;
static std::vector<int> RealPairFds;

int64_t NowUs(void)
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

static uint32_t SourceAddr(int source)
{
    return 0x7F000001u + (uint32_t)source;
}

static sockaddr_in MakeAddr(uint32_t addr, int port)
{
    sockaddr_in sin;
    memset(&sin, 0, sizeof(sin));
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(addr);
    sin.sin_port = htons((uint16_t)port);
    return sin;
}

static int LocalPort(int fd)
{
    sockaddr_in sin;
    socklen_t len = sizeof(sin);
    if (getsockname(fd, (sockaddr *)&sin, &len) != 0)
        return -1;
    return ntohs(sin.sin_port);
}

static void PutField(char *field, int width, const char *text);

/* Sends a Connect record for the pair, as Palaver would, and waits for the
   server to close the connection. 0 on success. */
static int RegisterPair(int port, const RealPair &pair)
{
    char rec[CONNECT_RECORD_SIZE], text[32];
    memset(rec, 0, sizeof(rec));
    rec[0] = 'C';
    snprintf(text, sizeof(text), "%d", pair.iNode);
    PutField(rec + 4, 5, text);
    snprintf(text, sizeof(text), "%d", pair.iRemotePort);
    PutField(rec + 9, 6, text);
    snprintf(text, sizeof(text), "%d", pair.iLocalPort);
    PutField(rec + 15, 6, text);
    snprintf(text, sizeof(text), BENCH_NAME_PREFIX "%d", pair.iNode);
    PutField(rec + 21, 129, text);
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to = MakeAddr(0x7F000001, port);
    char end;
    if (fd < 0 || connect(fd, (sockaddr *)&to, sizeof(to)) != 0 ||
        send(fd, rec, sizeof(rec), MSG_NOSIGNAL) != (ssize_t)sizeof(rec) ||
        recv(fd, &end, 1, 0) != 0) {
        perror("quillet-load: registering a real pair");
        if (fd >= 0)
            close(fd);
        return -1;
    }
    close(fd);
    return 0;
}

/* Each source address gets a listener; each pair is a connection from
   127.0.0.1 to that listener, kept open for the whole run. */
int PrepareLoad(const LoadOptions *opt, int proc)
{
    if (opt->iRealPairs <= 0)
        return 0;
    std::vector<int> listeners(opt->iSources), ports(opt->iSources);
    for (int s = 0; s < opt->iSources; s++) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sin = MakeAddr(SourceAddr(s), 0);
        if (fd < 0 || bind(fd, (sockaddr *)&sin, sizeof(sin)) != 0 || listen(fd, 128) != 0) {
            perror("quillet-load: real pair listener");
            return -1;
        }
        listeners[s] = fd;
        ports[s] = LocalPort(fd);
    }
    for (int i = 0; i < opt->iRealPairs; i++) {
        int s = i % opt->iSources;
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in from = MakeAddr(0x7F000001, 0);
        sockaddr_in to = MakeAddr(SourceAddr(s), ports[s]);
        if (fd < 0 || bind(fd, (sockaddr *)&from, sizeof(from)) != 0 ||
            connect(fd, (sockaddr *)&to, sizeof(to)) != 0) {
            perror("quillet-load: real pair connect");
            return -1;
        }
        int peer = accept4(listeners[s], nullptr, nullptr, SOCK_CLOEXEC);
        if (peer < 0) {
            perror("quillet-load: real pair accept");
            return -1;
        }
        int node = opt->iRegisterPort > 0 ? (proc * opt->iRealPairs + i) % 256 : -1;
        RealPairs.push_back({LocalPort(fd), ports[s], s, node});
        RealPairFds.push_back(fd);
        RealPairFds.push_back(peer);
        if (node >= 0 && RegisterPair(opt->iRegisterPort, RealPairs.back()) != 0)
            return -1;
    }
    for (int fd : listeners)
        close(fd);
    return 0;
}

static void PutField(char *field, int width, const char *text)
{
    size_t len = strlen(text);
    if (len > (size_t)width - 1)
        len = (size_t)width - 1;
    memset(field, 0, (size_t)width);
    memcpy(field, text, len);
}

/* Fills the connection's payload and expected reply for item i; returns
   the source address index to connect from. */
static int MakePayload(const LoadOptions *opt, int item, Conn *c)
{
    int source = item % opt->iSources;
    if (opt->mode == LOAD_RECORDS) {
        int node = item % opt->iNodes;
        char text[32];
        memset(c->payload, 0, sizeof(c->payload));
        int remote = BENCH_REMOTE_BASE + node, local = BENCH_LOCAL_BASE + node;
        /* Records about real pairs name the connections this process holds,
           each on its pair's node, as the board's client sends them. */
        if (opt->iRealPairs > 0) {
            const RealPair &pair = RealPairs[(size_t)item % RealPairs.size()];
            node = pair.iNode >= 0 ? pair.iNode : node;
            remote = pair.iRemotePort;
            local = pair.iLocalPort;
        }
        if (opt->record == RECORD_CONNECT) {
            c->payload[0] = 'C';
            snprintf(text, sizeof(text), "%d", node);
            PutField(c->payload + 4, 5, text);
            snprintf(text, sizeof(text), "%d", remote);
            PutField(c->payload + 9, 6, text);
            snprintf(text, sizeof(text), "%d", local);
            PutField(c->payload + 15, 6, text);
            snprintf(text, sizeof(text), BENCH_NAME_PREFIX "%d", node);
            PutField(c->payload + 21, 129, text);
            c->iPayloadLen = CONNECT_RECORD_SIZE;
        } else {
            c->payload[0] = 'Q';
            snprintf(text, sizeof(text), "%d", node);
            PutField(c->payload + 4, 5, text);
            c->iPayloadLen = QUIT_RECORD_SIZE;
        }
        c->expected[0] = '\0'; /* the server answers records with silence */
        return source;
    }
    int local, remote;
    const char *name;
    char nodeName[32];
    if (opt->iRealPairs > 0) {
        const RealPair &pair = RealPairs[(size_t)item % RealPairs.size()];
        local = pair.iLocalPort;
        remote = pair.iRemotePort;
        source = pair.iSource;
        name = opt->sRealName;
        if (pair.iNode >= 0) {
            snprintf(nodeName, sizeof(nodeName), BENCH_NAME_PREFIX "%d", pair.iNode);
            name = nodeName;
        }
    } else {
        int node = (int)(((int64_t)item * opt->iNodeStride) % opt->iNodes);
        local = BENCH_LOCAL_BASE + node;
        remote = BENCH_REMOTE_BASE + node;
        snprintf(nodeName, sizeof(nodeName), BENCH_NAME_PREFIX "%d", node);
        name = nodeName;
    }
    c->iPayloadLen = snprintf(c->payload, sizeof(c->payload), "%d , %d\r\n", local, remote);
    /* Compared with the blanks taken out, so that servers that space the
       reply differently are judged alike. */
    snprintf(c->expected, sizeof(c->expected), "%d,%d:USERID:UNIX:%s\r\n", local, remote, name);
    return source;
}

static bool bReplyCorrect(const Conn *c)
{
    if (c->iReplyLen >= REPLY_KEEP)
        return false;
    char squeezed[REPLY_KEEP];
    int n = 0;
    for (int i = 0; i < c->iReplyLen; i++)
        if (c->reply[i] != ' ')
            squeezed[n++] = c->reply[i];
    squeezed[n] = '\0';
    return strcmp(squeezed, c->expected) == 0;
}

struct Engine {
    const LoadOptions *opt;
    LoadResult *result;
    int epfd;
    std::vector<Conn> conns; /* one per item of this process */
    int iOpen;               /* connections in flight */
    int iSourceShift;        /* addresses skipped for want of ports */
};

static void Finish(Engine *e, Conn *c, bool bCompleted, int64_t now)
{
    if (c->fd >= 0) {
        /* The server closes first; answering its close with a reset rather
           than a close of our own leaves no TIME_WAIT entry on its port,
           so the next run's server can bind port 113 at once. */
        linger abort = {1, 0};
        setsockopt(c->fd, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
        epoll_ctl(e->epfd, EPOLL_CTL_DEL, c->fd, nullptr);
        close(c->fd);
        c->fd = -1;
    }
    c->state = CONN_DONE;
    e->iOpen--;
    LoadResult *r = e->result;
    if (now > r->tLastEnd)
        r->tLastEnd = now;
    if (!bCompleted) {
        r->iFailed++;
        return;
    }
    r->iCompleted++;
    r->closeUs.push_back((uint32_t)(now - c->tStart));
    r->endUs.push_back((uint32_t)(now - tLoadGo));
    if (c->tFirst != 0)
        r->firstReplyUs.push_back((uint32_t)(c->tFirst - c->tStart));
    if (bReplyCorrect(c) || (c->expected[0] == '\0' && c->iReplyLen == 0)) {
        r->iCorrect++;
    } else {
        r->iWrongReplies++;
        r->iFailed++;
    }
}

/* A non-blocking socket connecting from source address index source to
   the server; -1 with errno set when that fails at once. */
static int ConnectFrom(const LoadOptions *opt, int source)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (source != 0) {
        /* Leave the port to connect, which may reuse it towards other
           destinations; only the address is fixed here. */
        int one = 1;
        setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &one, sizeof(one));
        sockaddr_in from = MakeAddr(SourceAddr(source), 0);
        if (bind(fd, (sockaddr *)&from, sizeof(from)) != 0) {
            int err = errno;
            close(fd);
            errno = err;
            return -1;
        }
    }
    sockaddr_in to = MakeAddr(opt->iTarget, opt->iPort);
    if (connect(fd, (sockaddr *)&to, sizeof(to)) != 0 && errno != EINPROGRESS) {
        int err = errno;
        close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

static void Open(Engine *e, Conn *c, int64_t now)
{
    const LoadOptions *opt = e->opt;
    int source = MakePayload(opt, c->item, c);
    c->tStart = now;
    c->tFirst = 0;
    c->iSent = 0;
    c->iReplyLen = 0;
    e->iOpen++;
    e->result->iAttempted++;
    if (e->result->tFirstStart == 0)
        e->result->tFirstStart = now;

    /* Queries about real pairs must come from their pair's address; the
       others move on to further addresses when one runs out of ports. */
    int tries = opt->iRealPairs > 0 ? 1 : LOAD_MAX_SOURCES;
    for (int i = 0; i < tries; i++) {
        int from = opt->iRealPairs > 0 ? source : (source + e->iSourceShift) % LOAD_MAX_SOURCES;
        c->fd = ConnectFrom(opt, from);
        if (c->fd >= 0 || errno != EADDRNOTAVAIL)
            break;
        e->iSourceShift++;
        fprintf(stderr, "quillet-load: 127.0.0.%d has no free port left, adding 127.0.0.%d\n",
                from + 1, (source + e->iSourceShift) % LOAD_MAX_SOURCES + 1);
    }
    if (c->fd < 0) {
        e->result->iConnectErrors++;
        Finish(e, c, false, now);
        return;
    }
    c->state = CONN_CONNECTING;
    epoll_event ev;
    ev.events = EPOLLOUT;
    ev.data.u32 = (uint32_t)(c - e->conns.data());
    epoll_ctl(e->epfd, EPOLL_CTL_ADD, c->fd, &ev);
}

static void OnWritable(Engine *e, Conn *c, int64_t now)
{
    if (c->state == CONN_CONNECTING) {
        int err = 0;
        socklen_t len = sizeof(err);
        getsockopt(c->fd, SOL_SOCKET, SO_ERROR, &err, &len);
        if (err != 0) {
            e->result->iConnectErrors++;
            Finish(e, c, false, now);
            return;
        }
        c->state = CONN_READING;
    }
    while (c->iSent < c->iPayloadLen) {
        ssize_t n =
            send(c->fd, c->payload + c->iSent, (size_t)(c->iPayloadLen - c->iSent), MSG_NOSIGNAL);
        if (n < 0 && errno == EAGAIN)
            return; /* still writable-armed; try again later */
        if (n <= 0) {
            e->result->iResets++;
            Finish(e, c, false, now);
            return;
        }
        c->iSent += (int)n;
    }
    epoll_event ev;
    ev.events = EPOLLIN;
    ev.data.u32 = (uint32_t)(c - e->conns.data());
    epoll_ctl(e->epfd, EPOLL_CTL_MOD, c->fd, &ev);
}

static void OnReadable(Engine *e, Conn *c, int64_t now)
{
    char buf[1024];
    for (;;) {
        ssize_t n = recv(c->fd, buf, sizeof(buf), 0);
        if (n > 0) {
            if (c->tFirst == 0)
                c->tFirst = now;
            /* A reply that overflows the buffer is marked by filling it. */
            int room = REPLY_KEEP - c->iReplyLen;
            int keep = (int)n < room ? (int)n : room;
            memcpy(c->reply + c->iReplyLen, buf, (size_t)keep);
            c->iReplyLen = (int)n > keep ? REPLY_KEEP : c->iReplyLen + keep;
            continue;
        }
        if (n == 0) {
            Finish(e, c, true, now);
            return;
        }
        if (errno == EAGAIN || errno == EINTR)
            return;
        e->result->iResets++;
        Finish(e, c, false, now);
        return;
    }
}

static void Sweep(Engine *e, int64_t now)
{
    int64_t limit = (int64_t)e->opt->iTimeoutMs * 1000;
    for (Conn &c : e->conns) {
        if ((c.state == CONN_CONNECTING || c.state == CONN_READING) && now - c.tStart > limit) {
            e->result->iTimeouts++;
            Finish(e, &c, false, now);
        }
    }
}

/* When item k of this process is due: paced items spread evenly over the
   pace time across all processes, so the processes interleave. */
static int64_t DueAt(const LoadOptions *opt, int64_t tGo, int item)
{
    if (opt->iPaceMs <= 0 || opt->iCount <= 1)
        return tGo;
    return tGo + (int64_t)item * opt->iPaceMs * 1000 / opt->iCount;
}

void RunLoad(const LoadOptions *opt, int proc, int64_t tGo, LoadResult *result)
{
    tLoadGo = tGo;
    Engine e;
    e.opt = opt;
    e.result = result;
    e.epfd = epoll_create1(EPOLL_CLOEXEC);
    e.iOpen = 0;
    e.iSourceShift = 0;
    for (int item = proc; item < opt->iCount; item += opt->iProcs) {
        Conn c;
        memset(&c, 0, sizeof(c));
        c.fd = -1;
        c.state = CONN_IDLE;
        c.item = item;
        e.conns.push_back(c);
    }
    result->closeUs.reserve(e.conns.size());
    result->firstReplyUs.reserve(e.conns.size());

    /* Hold mode opens everything; the others keep a fixed number open. */
    int limit = opt->mode == LOAD_HOLD ? (int)e.conns.size()
                                       : (opt->iConcurrency + opt->iProcs - 1) / opt->iProcs;
    size_t next = 0;
    int64_t now = NowUs();
    while (now < tGo) {
        timespec ts = {0, (long)(tGo - now) * 1000};
        nanosleep(&ts, nullptr);
        now = NowUs();
    }
    int64_t runEnd = tGo + (int64_t)opt->iRunLimitMs * 1000;
    int64_t nextSweep = now + SWEEP_US;
    epoll_event events[EVENT_BATCH];

    while (next < e.conns.size() || e.iOpen > 0) {
        now = NowUs();
        int opened = 0;
        while (next < e.conns.size() && e.iOpen < limit && opened < OPEN_BATCH &&
               DueAt(opt, tGo, e.conns[next].item) <= now) {
            Open(&e, &e.conns[next], now);
            next++;
            opened++;
        }
        /* Sleep until the next event, the next due opening or the sweep. */
        int64_t wake = nextSweep;
        if (next < e.conns.size() && e.iOpen < limit) {
            int64_t due = opened == OPEN_BATCH ? now : DueAt(opt, tGo, e.conns[next].item);
            if (due < wake)
                wake = due;
        }
        int64_t waitUs = wake > now ? wake - now : 0;
        timespec ts = {(time_t)(waitUs / 1000000), (long)(waitUs % 1000000) * 1000};
        int n = epoll_pwait2(e.epfd, events, EVENT_BATCH, &ts, nullptr);
        now = NowUs();
        for (int i = 0; i < n; i++) {
            Conn *c = &e.conns[events[i].data.u32];
            if (c->state == CONN_DONE)
                continue;
            if (events[i].events & EPOLLOUT)
                OnWritable(&e, c, now);
            else if (events[i].events & (EPOLLIN | EPOLLERR | EPOLLHUP))
                OnReadable(&e, c, now);
        }
        if (now >= nextSweep) {
            Sweep(&e, now);
            nextSweep = now + SWEEP_US;
        }
        if (now > runEnd) {
            for (size_t k = next; k < e.conns.size(); k++) {
                result->iAttempted++;
                result->iFailed++;
                result->iTimeouts++;
            }
            next = e.conns.size();
            for (Conn &c : e.conns)
                if (c.state == CONN_CONNECTING || c.state == CONN_READING) {
                    result->iTimeouts++;
                    Finish(&e, &c, false, now);
                }
        }
    }
    close(e.epfd);
}
