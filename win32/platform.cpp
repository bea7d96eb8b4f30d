/* win32/platform.cpp: the Win32 half of the platform layer (Windows Sockets
   1.1 and the C runtime's threads). */

/* The IDENT loop's select set: the sockets it watches, its wake-up and room
   to spare. Winsock's fd_set is a counted array of this many sockets, not a
   bit map, so the size only sets the array's length. */
#define WATCH_SOCKETS_MAX 1024
#define FD_SETSIZE (WATCH_SOCKETS_MAX + 8)

#include "../common/platform.h"
#include "../common/logqueue.h"

#include <windows.h>
#include <winsock.h>
#include <iphlpapi.h>
#include <algorithm>
#include <mutex>
#include <process.h>
#include <unordered_map>
#include <vector>
#include <stdlib.h>
#include <string.h>

/* Winsock version 1.1, the one every Windows has. */
static const WORD WINSOCK_VERSION_11 = 0x0101;

/* Notification handlers hold a record of 150 bytes and a few lines: a
   small stack. It is the stack's reservation, not only its first commit:
   otherwise every thread reserves the image's default (2 MiB). */
static const unsigned THREAD_STACK_BYTES = 64 * 1024;

/* Windows names no limit on the sockets a program may hold; each costs the
   system's own memory. Until the real figure is measured on Windows, the
   IDENT loop holds at most this many; under Wine, whose sockets are
   descriptors of the wineserver, this is within what it carries. */
static const int SOCKETS_CEILING = 16384;

static WSADATA wsdata;

static sockaddr_in MakeAddr(PAddr addr, int port)
{
    sockaddr_in sin;
    memset(&sin, 0, sizeof(sin));
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(addr);
    sin.sin_port = htons((u_short)port);
    return sin;
}

int PlatSockStartup(void)
{
    return WSAStartup(WINSOCK_VERSION_11, &wsdata);
}

PSocket PlatTcpSocket(void)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET)
        return PSOCKET_INVALID;
    return (PSocket)s;
}

int PlatBind(PSocket s, PAddr addr, int port)
{
    sockaddr_in sin = MakeAddr(addr, port);
    return bind((SOCKET)s, (sockaddr *)&sin, sizeof(sin)) == 0 ? 0 : -1;
}

int PlatLocalPort(PSocket s)
{
    sockaddr_in sin;
    int len = sizeof(sin);
    memset(&sin, 0, sizeof(sin));
    if (getsockname((SOCKET)s, (sockaddr *)&sin, &len) != 0)
        return 0;
    return ntohs(sin.sin_port);
}

int PlatListen(PSocket s, int backlog)
{
    return listen((SOCKET)s, backlog) == 0 ? 0 : -1;
}

PSocket PlatAccept(PSocket s, PAddr *peer, PAddr *local)
{
    sockaddr_in sin;
    int len = sizeof(sin);
    SOCKET c = accept((SOCKET)s, (sockaddr *)&sin, &len);
    if (c == INVALID_SOCKET)
        return PSOCKET_INVALID;
    if (peer != nullptr)
        *peer = ntohl(sin.sin_addr.s_addr);
    if (local != nullptr) {
        len = sizeof(sin);
        *local = getsockname(c, (sockaddr *)&sin, &len) == 0 ? ntohl(sin.sin_addr.s_addr) : 0;
    }
    return (PSocket)c;
}

int PlatSetNonBlocking(PSocket s)
{
    u_long one = 1;
    return ioctlsocket((SOCKET)s, FIONBIO, &one) == 0 ? 0 : -1;
}

int PlatAcceptErrorKind(int err)
{
    switch (err) {
    /* The peer reset or gave up before its connection was accepted. */
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAEINTR:
    case WSAETIMEDOUT:
        return PLAT_ACCEPT_ERR_CONNECTION;
    case WSAEWOULDBLOCK:
        return PLAT_ACCEPT_ERR_NONE_PENDING;
    case WSAEMFILE:
    case WSAENOBUFS:
        return PLAT_ACCEPT_ERR_RESOURCES;
    default:
        return PLAT_ACCEPT_ERR_LASTING;
    }
}

struct ThreadStart {
    void (*fn)(void *);
    void *arg;
};

/* Set once the process is ending (PlatParkEndingThreads). */
static volatile LONG bParkEnding = 0;

static unsigned __stdcall ThreadMain(void *p)
{
    ThreadStart ts = *(ThreadStart *)p;
    free(p);
    ts.fn(ts.arg);
    while (InterlockedCompareExchange(&bParkEnding, 0, 0) != 0)
        Sleep(INFINITE);
    return 0;
}

void PlatParkEndingThreads(void)
{
    InterlockedExchange(&bParkEnding, 1);
}

/* Starts fn(arg) on a new thread with a handler's stack; its handle, or
   null. */
static HANDLE BeginThread(void (*fn)(void *), void *arg)
{
    ThreadStart *ts = (ThreadStart *)malloc(sizeof(ThreadStart));
    if (ts == nullptr)
        return nullptr;
    ts->fn = fn;
    ts->arg = arg;
    uintptr_t h = _beginthreadex(nullptr, THREAD_STACK_BYTES, ThreadMain, ts,
                                 STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (h == 0)
        free(ts);
    return (HANDLE)h;
}

void PlatHandlerLimits(PlatLimits *limits)
{
    limits->descriptors = SOCKETS_CEILING;
}

/* Winsock 1.1 has no interface list: the host's own addresses are those its
   name resolves to, as the socket library reports them. */
int PlatHostHasAddr(PAddr addr)
{
    char name[256];
    if (gethostname(name, sizeof(name)) != 0)
        return 0;
    hostent *host = gethostbyname(name);
    if (host == nullptr || host->h_addrtype != AF_INET || host->h_length != 4)
        return 0;
    for (char **a = host->h_addr_list; *a != nullptr; a++) {
        in_addr in;
        memcpy(&in, *a, sizeof(in));
        if (ntohl(in.s_addr) == addr)
            return 1;
    }
    return 0;
}

int PlatSocketAddrs(PSocket s, PAddr *peer, PAddr *local)
{
    sockaddr_in a, b;
    int alen = sizeof(a), blen = sizeof(b);
    if (getpeername((SOCKET)s, (sockaddr *)&a, &alen) != 0 ||
        getsockname((SOCKET)s, (sockaddr *)&b, &blen) != 0)
        return -1;
    *peer = ntohl(a.sin_addr.s_addr);
    *local = ntohl(b.sin_addr.s_addr);
    return 0;
}

/* Windows lists connections only as a whole table, and a copy costs time
   that grows with the rows: under Wine 12 ms for 200 rows and 235 ms for
   16,000. The copy runs on the IDENT loop, so one is kept and read again
   only when the question needs it: when it is older than
   TCP_TABLE_FRESH_US and was taken before the asker's connection opened
   (any connection the asker may rightly ask about opened before that), or
   is older than TCP_TABLE_MAX_AGE_US: never more than ten a second. A
   query is read 2 s after its connection opened, so while queries keep
   coming a copy serves 2 s of them: one copy per 2 s. Each question is
   then a binary search, so that a flood of questions costs no scan of a
   table that holds the flood. */
static const int64_t TCP_TABLE_FRESH_US = 100 * 1000;
static const int64_t TCP_TABLE_MAX_AGE_US = 2000 * 1000;

/* An established connection: both addresses, then both ports. */
struct OpenConn {
    uint64_t addrs;
    uint32_t ports;
    bool operator<(const OpenConn &o) const
    {
        return addrs != o.addrs ? addrs < o.addrs : ports < o.ports;
    }
};

static OpenConn MakeOpenConn(PAddr local, int localPort, PAddr remote, int remotePort)
{
    return {(uint64_t)local << 32 | remote, (uint32_t)localPort << 16 | (uint32_t)remotePort};
}

static std::mutex TcpTableLock;
static std::vector<char> TcpTable;
static std::vector<OpenConn> OpenConns; /* sorted */
static int64_t tTcpTableRead = 0;
static bool bTcpTableHeld = false;

/* The established rows of the table just read, sorted. Addresses in
   network order; ports in network order, in the low half. */
static void SortOpenConns(void)
{
    const MIB_TCPTABLE *table = (const MIB_TCPTABLE *)TcpTable.data();
    OpenConns.clear();
    for (DWORD i = 0; i < table->dwNumEntries; i++) {
        const MIB_TCPROW &row = table->table[i];
        if (row.dwState == MIB_TCP_STATE_ESTAB)
            OpenConns.push_back(
                MakeOpenConn(ntohl(row.dwLocalAddr), ntohs((u_short)row.dwLocalPort),
                             ntohl(row.dwRemoteAddr), ntohs((u_short)row.dwRemotePort)));
    }
    std::sort(OpenConns.begin(), OpenConns.end());
}

/* Reads the table again when the copy cannot answer a question about a
   connection opened before sinceUs; 0, or -1 when the system could not give
   it. Called with the lock held. */
static int FreshTcpTable(int64_t sinceUs)
{
    int64_t now = PlatTickUs();
    int64_t age = now - tTcpTableRead;
    if (bTcpTableHeld &&
        (age < TCP_TABLE_FRESH_US || (tTcpTableRead >= sinceUs && age < TCP_TABLE_MAX_AGE_US)))
        return 0;
    bTcpTableHeld = false;
    DWORD size = (DWORD)TcpTable.size();
    for (int tries = 0; tries < 4; tries++) {
        if (size < sizeof(MIB_TCPTABLE))
            size = sizeof(MIB_TCPTABLE);
        TcpTable.resize(size);
        DWORD rc = GetExtendedTcpTable(TcpTable.data(), &size, FALSE, AF_INET,
                                       TCP_TABLE_BASIC_CONNECTIONS, 0);
        if (rc == NO_ERROR) {
            SortOpenConns();
            tTcpTableRead = now;
            bTcpTableHeld = true;
            return 0;
        }
        if (rc != ERROR_INSUFFICIENT_BUFFER)
            break;
    }
    return -1;
}

int PlatTcpConnected(PAddr local, int localPort, PAddr remote, int remotePort, int64_t sinceUs)
{
    if (localPort < 1 || localPort > 65535 || remotePort < 1 || remotePort > 65535)
        return 0;
    std::lock_guard<std::mutex> hold(TcpTableLock);
    if (FreshTcpTable(sinceUs) != 0)
        return -1;
    return std::binary_search(OpenConns.begin(), OpenConns.end(),
                              MakeOpenConn(local, localPort, remote, remotePort))
               ? 1
               : 0;
}

PSocket PlatConnect(PAddr addr, int port)
{
    PSocket s = PlatTcpSocket();
    if (s == PSOCKET_INVALID)
        return s;
    sockaddr_in sin = MakeAddr(addr, port);
    if (connect((SOCKET)s, (sockaddr *)&sin, sizeof(sin)) != 0) {
        int err = WSAGetLastError();
        closesocket((SOCKET)s);
        WSASetLastError(err);
        return PSOCKET_INVALID;
    }
    return s;
}

int PlatWaitReadable(PSocket s, int ms)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET((SOCKET)s, &readable);
    timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    int n = select(0, &readable, nullptr, nullptr, ms < 0 ? nullptr : &tv);
    return n < 0 ? -1 : n > 0 ? 1 : 0;
}

int PlatBytesWaiting(PSocket s)
{
    u_long n = 0;
    return ioctlsocket((SOCKET)s, FIONREAD, &n) == 0 ? (int)n : -1;
}

void PlatShutdown(PSocket s)
{
    shutdown((SOCKET)s, 2); /* both directions: SD_BOTH of Winsock 2 */
}

int PlatRecv(PSocket s, char *buf, int len, int timeoutMs)
{
    if (timeoutMs >= 0 && PlatWaitReadable(s, timeoutMs) != 1)
        return -1;
    int n = recv((SOCKET)s, buf, len, 0);
    return n == SOCKET_ERROR ? -1 : n;
}

int PlatSend(PSocket s, const char *buf, int len)
{
    int sent = 0;
    while (sent < len) {
        int n = send((SOCKET)s, buf + sent, len - sent, 0);
        if (n == SOCKET_ERROR || n == 0)
            return -1;
        sent += n;
    }
    return sent;
}

void PlatClose(PSocket s)
{
    closesocket((SOCKET)s);
}

int PlatLastError(void)
{
    return WSAGetLastError();
}

int PlatThreadStart(void (*fn)(void *), void *arg)
{
    HANDLE h = BeginThread(fn, arg);
    if (h == nullptr)
        return -1;
    /* Detached: nobody waits for a handler. */
    CloseHandle(h);
    return 0;
}

/* select over the watched sockets and a wake-up: a UDP socket on loopback
   that PlatWatchWake sends a byte to. Winsock 1.1 has nothing that waits
   on sockets and an event together. */
struct PlatWatch {
    SOCKET wake;
    sockaddr_in wakeAddr;
    std::vector<SOCKET> socks;
    std::vector<void *> tags;
    std::unordered_map<SOCKET, size_t> at;
    fd_set readable;
};

int PlatWatchMax(void)
{
    return WATCH_SOCKETS_MAX;
}

PlatWatch *PlatWatchNew(void)
{
    SOCKET wake = socket(AF_INET, SOCK_DGRAM, 0);
    if (wake == INVALID_SOCKET)
        return nullptr;
    sockaddr_in sin = MakeAddr(0x7F000001u, 0);
    int len = sizeof(sin);
    u_long one = 1;
    if (bind(wake, (sockaddr *)&sin, sizeof(sin)) != 0 ||
        getsockname(wake, (sockaddr *)&sin, &len) != 0 || ioctlsocket(wake, FIONBIO, &one) != 0) {
        closesocket(wake);
        return nullptr;
    }
    PlatWatch *w = new PlatWatch;
    w->wake = wake;
    w->wakeAddr = sin;
    return w;
}

void PlatWatchFree(PlatWatch *w)
{
    closesocket(w->wake);
    delete w;
}

int PlatWatchAdd(PlatWatch *w, PSocket s, void *tag)
{
    if (w->socks.size() >= (size_t)WATCH_SOCKETS_MAX || w->at.count((SOCKET)s) != 0)
        return -1;
    w->at[(SOCKET)s] = w->socks.size();
    w->socks.push_back((SOCKET)s);
    w->tags.push_back(tag);
    return 0;
}

void PlatWatchRemove(PlatWatch *w, PSocket s)
{
    auto it = w->at.find((SOCKET)s);
    if (it == w->at.end())
        return;
    size_t i = it->second, last = w->socks.size() - 1;
    w->at.erase(it);
    if (i != last) {
        w->socks[i] = w->socks[last];
        w->tags[i] = w->tags[last];
        w->at[w->socks[i]] = i;
    }
    w->socks.pop_back();
    w->tags.pop_back();
}

int PlatWatchWait(PlatWatch *w, int ms, void **tags, int n)
{
    fd_set *set = &w->readable;
    set->fd_count = 0;
    set->fd_array[set->fd_count++] = w->wake;
    for (SOCKET s : w->socks)
        set->fd_array[set->fd_count++] = s;
    timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    int got = select(0, set, nullptr, nullptr, ms < 0 ? nullptr : &tv);
    if (got == SOCKET_ERROR)
        return -1;
    int k = 0;
    for (u_int i = 0; i < set->fd_count; i++) {
        SOCKET s = set->fd_array[i];
        if (s == w->wake) {
            char drain[64];
            while (recv(w->wake, drain, sizeof(drain), 0) > 0) {
            }
            continue;
        }
        auto it = w->at.find(s);
        if (it != w->at.end() && k < n)
            tags[k++] = w->tags[it->second];
    }
    return k;
}

void PlatWatchWake(PlatWatch *w)
{
    char one = 1;
    sendto(w->wake, &one, 1, 0, (const sockaddr *)&w->wakeAddr, sizeof(w->wakeAddr));
}

void PlatSleep(int ms)
{
    Sleep((DWORD)ms);
}

/* The performance counter: GetTickCount64 moves in steps of 10 to 16 ms,
   which would let a deadline pass that early. */
static int64_t CounterTicks(int64_t *perSecond)
{
    static LARGE_INTEGER frequency = {};
    if (frequency.QuadPart == 0)
        QueryPerformanceFrequency(&frequency);
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    *perSecond = frequency.QuadPart;
    return now.QuadPart;
}

int64_t PlatTickUs(void)
{
    int64_t hz;
    int64_t t = CounterTicks(&hz);
    return t / hz * 1000000 + t % hz * 1000000 / hz;
}

int64_t PlatTickMs(void)
{
    return PlatTickUs() / 1000;
}

void PlatExit(int status)
{
    /* The last lines, such as why the process ends, still reach the log
       unless the window's thread is not taking them. */
    LogQueueDrain(LOG_DRAIN_MS);
    ExitProcess((UINT)status);
}
