/* win32/platform.cpp: the Win32 half of the platform layer (Windows Sockets
   1.1 and the C runtime's threads). */
#include "../common/platform.h"
#include "../common/logqueue.h"

#include <windows.h>
#include <winsock.h>
#include <iphlpapi.h>
#include <mutex>
#include <process.h>
#include <vector>
#include <stdlib.h>
#include <string.h>

/* Winsock version 1.1, the one every Windows has. */
static const WORD WINSOCK_VERSION_11 = 0x0101;

/* Handlers hold a 1 KiB query and a short reply; a small stack lets many of
   them wait side by side. It is the stack's reservation, not only its first
   commit: otherwise every thread reserves the image's default (2 MiB), and
   a thousand handlers fill the 32-bit build's address space. */
static const unsigned THREAD_STACK_BYTES = 64 * 1024;

/* Windows counts no descriptors or threads: what handlers run out of is the
   address space their stacks are reserved in. They may have this share of
   it; the rest is kept for the heap, the log and the system's own DLLs. */
static const int STACK_SPACE_PCT = 25;

/* The most handlers, however wide the address space: the 64-bit build's
   space bounds nothing, while each thread and socket still costs the
   system's own memory. A quarter of the 32-bit build's 4 GiB at 64 KiB a
   stack gives the same number, so both builds share one cap on Windows. */
static const int HANDLERS_CEILING = 16384;

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

int PlatAcceptErrorKind(int err)
{
    switch (err) {
    /* The peer reset or gave up before its connection was accepted. */
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAEINTR:
    case WSAEWOULDBLOCK:
    case WSAETIMEDOUT:
        return PLAT_ACCEPT_ERR_CONNECTION;
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

static unsigned __stdcall ThreadMain(void *p)
{
    ThreadStart ts = *(ThreadStart *)p;
    free(p);
    ts.fn(ts.arg);
    return 0;
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

/* The whole reservation holding the calling thread's stack: from its
   allocation base to the end of the last region with the same base. */
static SIZE_T OwnStackReservation(void)
{
    int here = 0;
    MEMORY_BASIC_INFORMATION mbi;
    if (VirtualQuery(&here, &mbi, sizeof(mbi)) == 0)
        return 0;
    char *base = (char *)mbi.AllocationBase;
    char *end = base;
    while (VirtualQuery(end, &mbi, sizeof(mbi)) != 0 && mbi.AllocationBase == base)
        end = (char *)mbi.BaseAddress + mbi.RegionSize;
    return (SIZE_T)(end - base);
}

static void MeasureStack(void *reserved)
{
    *(SIZE_T *)reserved = OwnStackReservation();
}

/* What a handler's stack really reserves: Windows gives what is asked,
   while Wine reserves at least 1 MiB whatever is asked. 0 when no thread
   could be started to see. */
static SIZE_T HandlerStackReservation(void)
{
    SIZE_T reserved = 0;
    HANDLE h = BeginThread(MeasureStack, &reserved);
    if (h == nullptr)
        return 0;
    WaitForSingleObject(h, INFINITE);
    CloseHandle(h);
    return reserved;
}

void PlatHandlerLimits(PlatLimits *limits)
{
    limits->descriptors = -1;
    limits->hostThreads = -1;
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    uint64_t space = (uint64_t)((uintptr_t)si.lpMaximumApplicationAddress -
                                (uintptr_t)si.lpMinimumApplicationAddress);
    uint64_t stack = HandlerStackReservation();
    if (stack < THREAD_STACK_BYTES)
        stack = THREAD_STACK_BYTES;
    uint64_t handlers = space / 100 * STACK_SPACE_PCT / stack;
    limits->ownThreads = handlers < (uint64_t)HANDLERS_CEILING ? (int)handlers : HANDLERS_CEILING;
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

/* Windows lists connections only as a whole table. One copy is kept and
   read again only when older than this, so that a board whose users all
   reconnect reads it a handful of times, and misses cannot make it read per
   query. A query is read 2 s after its connection opened, after the user's
   connection it asks about, so a copy this fresh holds that connection. */
static const DWORD TCP_TABLE_MAX_AGE_MS = 100;

static std::mutex TcpTableLock;
static std::vector<char> TcpTable;
static ULONGLONG tTcpTableRead = 0;

/* Reads the table again when the copy is too old; 0, or -1 when the system
   could not give it. Called with the lock held. */
static int FreshTcpTable(void)
{
    ULONGLONG now = GetTickCount64();
    if (!TcpTable.empty() && now - tTcpTableRead < TCP_TABLE_MAX_AGE_MS)
        return 0;
    DWORD size = (DWORD)TcpTable.size();
    for (int tries = 0; tries < 4; tries++) {
        if (size < sizeof(MIB_TCPTABLE))
            size = sizeof(MIB_TCPTABLE);
        TcpTable.resize(size);
        DWORD rc = GetExtendedTcpTable(TcpTable.data(), &size, FALSE, AF_INET,
                                       TCP_TABLE_BASIC_CONNECTIONS, 0);
        if (rc == NO_ERROR) {
            tTcpTableRead = now;
            return 0;
        }
        if (rc != ERROR_INSUFFICIENT_BUFFER)
            break;
    }
    TcpTable.clear();
    return -1;
}

int PlatTcpConnected(PAddr local, int localPort, PAddr remote, int remotePort)
{
    if (localPort < 1 || localPort > 65535 || remotePort < 1 || remotePort > 65535)
        return 0;
    std::lock_guard<std::mutex> hold(TcpTableLock);
    if (FreshTcpTable() != 0)
        return -1;
    const MIB_TCPTABLE *table = (const MIB_TCPTABLE *)TcpTable.data();
    /* Addresses in network order; ports in network order, in the low half. */
    for (DWORD i = 0; i < table->dwNumEntries; i++) {
        const MIB_TCPROW &row = table->table[i];
        if (row.dwState == MIB_TCP_STATE_ESTAB && ntohl(row.dwLocalAddr) == local &&
            ntohs((u_short)row.dwLocalPort) == localPort && ntohl(row.dwRemoteAddr) == remote &&
            ntohs((u_short)row.dwRemotePort) == remotePort)
            return 1;
    }
    return 0;
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

void PlatSleep(int ms)
{
    Sleep((DWORD)ms);
}

int64_t PlatTickMs(void)
{
    return (int64_t)GetTickCount64();
}

void PlatExit(int status)
{
    /* The last lines, such as why the process ends, still reach the log
       unless the window's thread is not taking them. */
    LogQueueDrain(LOG_DRAIN_MS);
    ExitProcess((UINT)status);
}
