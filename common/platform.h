/* common/platform.h: what a platform and a front end supply to the core.
   posix/platform.cpp and win32/platform.cpp are the two platform halves;
   console/ and shell/ are the two front ends. The functions have C linkage,
   so that their link names are their plain names: the fault builds
   replace them with the linker's --wrap. */
#ifndef QUILLET_PLATFORM_H
#define QUILLET_PLATFORM_H

#include <stdint.h>
#include <stdio.h>

/* A socket handle wide enough for both platforms' kinds. */
typedef intptr_t PSocket;
#define PSOCKET_INVALID ((PSocket)-1)

/* IPv4 address in host byte order: 127.0.0.1 is 0x7F000001. */
typedef uint32_t PAddr;

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Supplied by the platform ---- */

/* Starts the socket library (version 1.1 where it has versions); 0 on
   success. Called by the host server link before any socket is made. */
int PlatSockStartup(void);

/* A TCP stream socket of the internet family, or PSOCKET_INVALID. */
PSocket PlatTcpSocket(void);

/* Binds to addr:port (addr 0 is every local address); 0 on success. */
int PlatBind(PSocket s, PAddr addr, int port);

/* The port the socket is bound to, in host byte order, or 0. */
int PlatLocalPort(PSocket s);

/* Starts listening; 0 on success. */
int PlatListen(PSocket s, int backlog);

/* The backlog that asks for the longest queue of connections waiting to be
   accepted that the system allows (Winsock's SOMAXCONN; Linux cuts it to
   net.core.somaxconn). */
#define PLAT_BACKLOG_MAX 0x7FFFFFFF

/* Accepts one connection. peer and local, when not null, receive the
   connection's two addresses. PSOCKET_INVALID on failure. */
PSocket PlatAccept(PSocket s, PAddr *peer, PAddr *local);

/* Makes s non-blocking: its accepts, receives and sends fail with an error
   that PlatAcceptErrorKind calls PLAT_ACCEPT_ERR_NONE_PENDING instead of
   waiting. 0 on success. Used by the IDENT loop for its listener and every
   connection it takes. */
int PlatSetNonBlocking(PSocket s);

/* What a failed accept's error code says about the accepts after it:
   the error belonged to one connection (reset or aborted before it was
   accepted), resources ran out (descriptors, buffers, memory), or it will
   last (the socket is no longer valid, the socket library is gone). */
#define PLAT_ACCEPT_ERR_CONNECTION 0
#define PLAT_ACCEPT_ERR_RESOURCES 1
#define PLAT_ACCEPT_ERR_LASTING 2
/* A non-blocking socket had nothing to take (EAGAIN, WSAEWOULDBLOCK). */
#define PLAT_ACCEPT_ERR_NONE_PENDING 3
int PlatAcceptErrorKind(int err);

/* 1 when addr is one of this host's own interface addresses, else 0. Asks
   the system each time, so addresses added while running count. */
int PlatHostHasAddr(PAddr addr);

/* The two addresses of a connected socket: the peer's, and this host's
   that the connection arrived on. 0, or -1 when the socket has none. */
int PlatSocketAddrs(PSocket s, PAddr *peer, PAddr *local);

/* Whether an established TCP connection joins local:localPort on this host
   to remote:remotePort, as the system's own table of connections says: 1
   when there is one, 0 when there is none (ports outside 1..65535 included),
   -1 when the system cannot tell. Any thread may call it; a call costs
   microseconds, and never a read of the whole table per call. A system
   that lists connections only as a whole table may answer from a copy
   taken at or after sinceUs (PlatTickUs): the asker's connection opened
   then, after any connection it may rightly ask about. When id is not
   null it gets the connection's PConn id (0 where there is none). */
int PlatTcpConnected(PAddr local, int localPort, PAddr remote, int remotePort, int64_t sinceUs,
                     uint64_t *id = nullptr);

/* A TCP connection of this host's, as the system's table lists it. */
struct PConn {
    PAddr local;
    int localPort;
    PAddr remote;
    int remotePort;
    /* What tells the connection from a later one with the same four fields
       (Linux: the socket's cookie); 0 where the system keeps nothing. */
    uint64_t id;
    /* The socket's account (Linux: its uid); -1 where the system does not
       say. */
    int64_t account;
    /* The process that owns it (Windows); 0 for none, or where the system
       does not say. */
    uint32_t process;
    /* Linux: the socket's inode, by which a process's descriptors name it;
       0 when no process holds it any more. Windows: 0. */
    uint64_t holder;
};

/* The connections from localPort on this host to remotePort, established
   or still being made (a record may race its connect), read afresh: up to
   max of them into out. Their count (more than max may exist), or -1 when
   the system cannot tell. Reads the whole table on some systems: not for
   the IDENT loop. */
int PlatFindConns(int localPort, int remotePort, PConn *out, int max);

/* The other end of s, a connection accepted from a program on this host:
   its socket as the system lists it, into *end. 0, or -1 when the system
   lists none. Called at once after accept, while the sender holds it. */
int PlatPeerEnd(PSocket s, PConn *end);

/* Whether one program holds both connections: 1 when it does, 0 when it
   does not, -1 when the system will not say (Linux: where this process may
   not look at another account's descriptors, or a socket is no longer
   held). */
int PlatSameProgram(const PConn *a, const PConn *b);

/* Connects a new TCP socket to addr:port, from local port fromPort when it
   is not 0 (which other sockets bound so may share); PSOCKET_INVALID on
   failure. Used by the host library stand-in and the tools, not by the
   services. */
PSocket PlatConnect(PAddr addr, int port, int fromPort = 0);

/* Receives up to len bytes. Waits at most timeoutMs (< 0: without limit).
   Returns the count received, 0 when the peer closed, -1 on failure or when
   the time ran out. */
int PlatRecv(PSocket s, char *buf, int len, int timeoutMs);

/* Waits at most ms for s to become readable: bytes have come, the peer has
   closed, or this process has shut the socket down. 1 when it has, 0 when
   the time ran out, -1 on failure. */
int PlatWaitReadable(PSocket s, int ms);

/* How many bytes wait to be read on s, or -1 when it cannot be told. */
int PlatBytesWaiting(PSocket s);

/* Shuts both directions of s down, from any thread: its handler's waits on
   it end, and the handler still closes it. */
void PlatShutdown(PSocket s);

/* Sends len bytes, all of them unless the connection fails; returns the count
   sent or -1. */
int PlatSend(PSocket s, const char *buf, int len);

/* Closes a socket. */
void PlatClose(PSocket s);

/* The system's last-error code for the calling thread's latest socket call. */
int PlatLastError(void);

/* Starts fn(arg) on a new detached thread; 0 on success. The service threads
   and handlers need only a small stack. */
int PlatThreadStart(void (*fn)(void *), void *arg);

/* The system's limit on what the IDENT loop holds: how many descriptors
   this process may have open, -1 where the system sets none. */
struct PlatLimits {
    int descriptors;
};

/* Read once at start, after the front end raised its own limits. */
void PlatHandlerLimits(PlatLimits *limits);

/* A set of sockets watched for readability, for the IDENT loop: its
   listener, its wake-up and the connections whose query has not come in
   time. On Linux epoll; on Windows a Winsock select, whose set holds at
   most PlatWatchMax() sockets. Used by one thread, but for PlatWatchWake. */
struct PlatWatch;

/* The most sockets a PlatWatch holds; the caller keeps within it. Windows'
   select copies its whole set on every call, so the set must stay small
   there; epoll's costs nothing per call and holds as many as there are
   descriptors. */
int PlatWatchMax(void);

/* A new set, holding only its wake-up; null when the system gives none.
   PlatWatchFree closes the wake-up and frees the set, whose sockets the
   caller closes. */
PlatWatch *PlatWatchNew(void);
void PlatWatchFree(PlatWatch *w);

/* Adds s, which PlatWatchWait reports by tag; 0, or -1 when the system
   refused or the set is full. Removes s; a socket must be removed before it
   is closed. */
int PlatWatchAdd(PlatWatch *w, PSocket s, void *tag);
void PlatWatchRemove(PlatWatch *w, PSocket s);

/* Waits at most ms (< 0: without limit) until a socket of the set is
   readable (bytes, the peer's close, a pending connection) or the set is
   woken; fills tags with up to n of the readable sockets' tags. How many,
   0 when the time ran out or only the wake-up came, -1 on failure. */
int PlatWatchWait(PlatWatch *w, int ms, void **tags, int n);

/* Ends the current or next PlatWatchWait early. Any thread may call it. */
void PlatWatchWake(PlatWatch *w);

/* Sleeps for ms milliseconds. */
void PlatSleep(int ms);

/* Calls each(name, ctx) for every file name in the folder dir, until each
   returns non-zero. 0, or -1 when the folder cannot be read. */
int PlatListDir(const char *dir, int (*each)(const char *name, void *ctx), void *ctx);

/* Cuts the open file f back to size bytes. 0, or -1. */
int PlatTruncateFile(FILE *f, long size);

/* What the system's own log keeps beside the program's: start and stop,
   a port that cannot be opened, the host server lost and back. Windows
   writes them to the Application event log, where an operator's tools
   look; elsewhere the journal already has every line with its priority. */
enum PlatEvent {
    PEVENT_STARTED,
    PEVENT_STOPPED,
    PEVENT_PORT_FAILED,
    PEVENT_HOST_LOST,
    PEVENT_HOST_BACK,
    PEVENT_REFUSED, /* the service would be a second Quillet on the host */
    PEVENT_FAILED   /* a failure the program ends on */
};

/* Writes event with text, the log's lines that say it. */
void PlatEventLog(PlatEvent event, const char *text);

/* Milliseconds on a monotonic clock, for measuring waits; PlatTickUs the
   same clock in microseconds, for deadlines that must never come early. */
int64_t PlatTickMs(void);
int64_t PlatTickUs(void);

/* For the end of the process: a thread started by PlatThreadStart that
   returns from now on waits for the process to end instead of ending.
   Under Wine a thread part way through its own end when the process ends
   can leave the end waiting for ever on a lock the thread held; elsewhere
   threads simply end. */
void PlatParkEndingThreads(void);

/* Ends the whole process at once with the given status. */
void PlatExit(int status);

/* ---- Supplied by the front end ---- */

/* Appends text, whole and unchanged, to the message log. Any thread may call
   it; appends are serialised. The text carries its own line end. */
void MsgOut(const char *text);

/* Shows text to the user and returns once it has been seen. Blocks only the
   calling thread. */
int UserErr(const char *text);

/* Tells the user why the program is about to end (the host server can't be
   reached). Called by the host server link just before it ends the process;
   returns once the text has been shown, or the box showing it has closed
   itself, so that the process does end. */
void FatalErr(const char *text);

#ifdef __cplusplus
}
#endif

#endif
