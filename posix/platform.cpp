/* posix/platform.cpp: the POSIX half of the platform layer. */
#include "../common/platform.h"
#include "../common/logqueue.h"

#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

/* The service threads, the IDENT loop and the notification handlers each
   hold a 1 KiB buffer and use a few KiB in all: a small stack is enough.
   Sanitizers need far more. */
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
static const size_t THREAD_STACK_BYTES = 1024 * 1024;
#else
static const size_t THREAD_STACK_BYTES = 32 * 1024;
#endif

/* Each thread keeps the errno of its own latest socket call. */
static thread_local int iLastError = 0;

static int Fail(void)
{
    iLastError = errno;
    return -1;
}

static sockaddr_in MakeAddr(PAddr addr, int port)
{
    sockaddr_in sin;
    memset(&sin, 0, sizeof(sin));
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(addr);
    sin.sin_port = htons((uint16_t)port);
    return sin;
}

int PlatSockStartup(void)
{
    return 0;
}

PSocket PlatTcpSocket(void)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        Fail();
        return PSOCKET_INVALID;
    }
    return fd;
}

int PlatBind(PSocket s, PAddr addr, int port)
{
    /* The services close their connections first, which leaves them in
       TIME_WAIT on this side; without this a restarted program could not
       bind its port for a minute. A port held by a listener stays refused. */
    int one = 1;
    setsockopt((int)s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in sin = MakeAddr(addr, port);
    if (bind((int)s, (sockaddr *)&sin, sizeof(sin)) != 0)
        return Fail();
    return 0;
}

int PlatLocalPort(PSocket s)
{
    sockaddr_in sin;
    socklen_t len = sizeof(sin);
    memset(&sin, 0, sizeof(sin));
    if (getsockname((int)s, (sockaddr *)&sin, &len) != 0) {
        Fail();
        return 0;
    }
    return ntohs(sin.sin_port);
}

int PlatListen(PSocket s, int backlog)
{
    if (listen((int)s, backlog) != 0)
        return Fail();
    return 0;
}

PSocket PlatAccept(PSocket s, PAddr *peer, PAddr *local)
{
    sockaddr_in sin;
    socklen_t len = sizeof(sin);
    int fd = accept4((int)s, (sockaddr *)&sin, &len, SOCK_CLOEXEC);
    if (fd < 0) {
        Fail();
        return PSOCKET_INVALID;
    }
    if (peer != nullptr)
        *peer = ntohl(sin.sin_addr.s_addr);
    if (local != nullptr) {
        len = sizeof(sin);
        *local = getsockname(fd, (sockaddr *)&sin, &len) == 0 ? ntohl(sin.sin_addr.s_addr) : 0;
    }
    return fd;
}

int PlatSetNonBlocking(PSocket s)
{
    int flags = fcntl((int)s, F_GETFL);
    if (flags < 0 || fcntl((int)s, F_SETFL, flags | O_NONBLOCK) != 0)
        return Fail();
    return 0;
}

int PlatAcceptErrorKind(int err)
{
    switch (err) {
    /* The connection went before it was accepted, or the signal or network
       trouble that accept(2) says to retry at once. */
    case ECONNABORTED:
    case EINTR:
    case EPROTO:
    case EPERM:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
    case ETIMEDOUT:
        return PLAT_ACCEPT_ERR_CONNECTION;
    case EAGAIN:
        return PLAT_ACCEPT_ERR_NONE_PENDING;
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
        return PLAT_ACCEPT_ERR_RESOURCES;
    default:
        return PLAT_ACCEPT_ERR_LASTING;
    }
}

/* A limit as an int, -1 for none; larger values than an int holds count as
   none, since no handler count comes near them. */
static int LimitInt(rlim_t value)
{
    return value == RLIM_INFINITY || value > (rlim_t)0x7FFFFFFF ? -1 : (int)value;
}

void PlatHandlerLimits(PlatLimits *limits)
{
    rlimit lim;
    limits->descriptors = getrlimit(RLIMIT_NOFILE, &lim) == 0 ? LimitInt(lim.rlim_cur) : -1;
}

int PlatHostHasAddr(PAddr addr)
{
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return 0;
    int found = 0;
    for (ifaddrs *i = list; i != nullptr && !found; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET)
            continue;
        found = ntohl(((sockaddr_in *)i->ifa_addr)->sin_addr.s_addr) == addr;
    }
    freeifaddrs(list);
    return found;
}

int PlatSocketAddrs(PSocket s, PAddr *peer, PAddr *local)
{
    sockaddr_in a, b;
    socklen_t alen = sizeof(a), blen = sizeof(b);
    if (getpeername((int)s, (sockaddr *)&a, &alen) != 0 ||
        getsockname((int)s, (sockaddr *)&b, &blen) != 0)
        return Fail();
    *peer = ntohl(a.sin_addr.s_addr);
    *local = ntohl(b.sin_addr.s_addr);
    return 0;
}

PSocket PlatConnect(PAddr addr, int port, int fromPort)
{
    PSocket s = PlatTcpSocket();
    if (s == PSOCKET_INVALID)
        return s;
    if (fromPort != 0 && PlatBind(s, 0, fromPort) != 0) {
        close((int)s);
        return PSOCKET_INVALID;
    }
    sockaddr_in sin = MakeAddr(addr, port);
    if (connect((int)s, (sockaddr *)&sin, sizeof(sin)) != 0) {
        Fail();
        close((int)s);
        return PSOCKET_INVALID;
    }
    return s;
}

int PlatWaitReadable(PSocket s, int ms)
{
    pollfd pfd = {(int)s, POLLIN, 0};
    int n;
    do
        n = poll(&pfd, 1, ms);
    while (n < 0 && errno == EINTR);
    if (n < 0)
        return Fail();
    if (n == 0)
        iLastError = ETIMEDOUT;
    return n > 0 ? 1 : 0;
}

int PlatBytesWaiting(PSocket s)
{
    int n = 0;
    return ioctl((int)s, FIONREAD, &n) == 0 ? n : Fail();
}

void PlatShutdown(PSocket s)
{
    shutdown((int)s, SHUT_RDWR);
}

int PlatRecv(PSocket s, char *buf, int len, int timeoutMs)
{
    if (timeoutMs >= 0 && PlatWaitReadable(s, timeoutMs) != 1)
        return -1;
    ssize_t n;
    do
        n = recv((int)s, buf, (size_t)len, 0);
    while (n < 0 && errno == EINTR);
    if (n < 0)
        return Fail();
    return (int)n;
}

int PlatSend(PSocket s, const char *buf, int len)
{
    int sent = 0;
    while (sent < len) {
        ssize_t n = send((int)s, buf + sent, (size_t)(len - sent), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return Fail();
        sent += (int)n;
    }
    return sent;
}

void PlatClose(PSocket s)
{
    close((int)s);
}

int PlatLastError(void)
{
    return iLastError;
}

struct ThreadStart {
    void (*fn)(void *);
    void *arg;
};

static void *ThreadMain(void *p)
{
    ThreadStart ts = *(ThreadStart *)p;
    free(p);
    ts.fn(ts.arg);
    return nullptr;
}

int PlatThreadStart(void (*fn)(void *), void *arg)
{
    ThreadStart *ts = (ThreadStart *)malloc(sizeof(ThreadStart));
    if (ts == nullptr)
        return -1;
    ts->fn = fn;
    ts->arg = arg;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, THREAD_STACK_BYTES);
    pthread_t tid;
    int rc = pthread_create(&tid, &attr, ThreadMain, ts);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        free(ts);
        iLastError = rc;
        return -1;
    }
    return 0;
}

/* epoll: the kernel keeps the set, so a wait costs the same however many
   sockets are watched. The wake-up is an eventfd, whose tag is the set
   itself. */
struct PlatWatch {
    int epfd;
    int wakefd;
};

/* What one wait takes from the kernel at most. */
static const int WATCH_EVENTS_MAX = 256;

int PlatWatchMax(void)
{
    return 0x7FFFFFFF;
}

PlatWatch *PlatWatchNew(void)
{
    PlatWatch *w = (PlatWatch *)malloc(sizeof(PlatWatch));
    if (w == nullptr)
        return nullptr;
    w->epfd = epoll_create1(EPOLL_CLOEXEC);
    w->wakefd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event ev;
    memset(&ev, 0, sizeof(ev));
    ev.events = EPOLLIN;
    ev.data.ptr = w;
    if (w->epfd < 0 || w->wakefd < 0 || epoll_ctl(w->epfd, EPOLL_CTL_ADD, w->wakefd, &ev) != 0) {
        Fail();
        if (w->epfd >= 0)
            close(w->epfd);
        if (w->wakefd >= 0)
            close(w->wakefd);
        free(w);
        return nullptr;
    }
    return w;
}

void PlatWatchFree(PlatWatch *w)
{
    close(w->epfd);
    close(w->wakefd);
    free(w);
}

int PlatWatchAdd(PlatWatch *w, PSocket s, void *tag)
{
    epoll_event ev;
    memset(&ev, 0, sizeof(ev));
    ev.events = EPOLLIN;
    ev.data.ptr = tag;
    return epoll_ctl(w->epfd, EPOLL_CTL_ADD, (int)s, &ev) == 0 ? 0 : Fail();
}

void PlatWatchRemove(PlatWatch *w, PSocket s)
{
    epoll_event ev;
    memset(&ev, 0, sizeof(ev));
    epoll_ctl(w->epfd, EPOLL_CTL_DEL, (int)s, &ev);
}

int PlatWatchWait(PlatWatch *w, int ms, void **tags, int n)
{
    epoll_event events[WATCH_EVENTS_MAX];
    int got = epoll_wait(w->epfd, events, n < WATCH_EVENTS_MAX ? n : WATCH_EVENTS_MAX, ms);
    if (got < 0)
        return errno == EINTR ? 0 : Fail();
    int k = 0;
    for (int i = 0; i < got; i++) {
        if (events[i].data.ptr == w) {
            uint64_t count;
            while (read(w->wakefd, &count, sizeof(count)) > 0) {
            }
            continue;
        }
        tags[k++] = events[i].data.ptr;
    }
    return k;
}

void PlatWatchWake(PlatWatch *w)
{
    uint64_t one = 1;
    while (write(w->wakefd, &one, sizeof(one)) < 0 && errno == EINTR) {
    }
}

void PlatSleep(int ms)
{
    /* A build without the IDENT waits sleeps 0 ms twice per query; that
       needs no system call. */
    if (ms <= 0)
        return;
    timespec ts;
    ts.tv_sec = ms / 1000;
    ts.tv_nsec = (long)(ms % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

int64_t PlatTickMs(void)
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

int64_t PlatTickUs(void)
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

/* Threads that end while the process ends do no harm here. */
void PlatParkEndingThreads(void) {}

void PlatExit(int status)
{
    /* The last lines, such as why the process ends, still go out unless
       the output is stalled. */
    LogQueueDrain(LOG_DRAIN_MS);
    fflush(stdout);
    fflush(stderr);
    _exit(status);
}

/* The journal keeps every line with its priority (console/journal.h), so
   there is nothing more to write. */
void PlatEventLog(PlatEvent event, const char *text)
{
    (void)event;
    (void)text;
}
