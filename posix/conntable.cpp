/* posix/conntable.cpp: the kernel's table of TCP connections, asked through
   its socket diagnostics (inet_diag): whether a connection is open, which
   connections use a port pair, and which program holds them. */
#include "../common/platform.h"

#include <arpa/inet.h>
#include <atomic>
#include <dirent.h>
#include <errno.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

/* One netlink socket serves every caller in turn. */
static std::mutex DiagLock;
static int iDiagSocket = -1;
static unsigned iDiagSeq = 0;

static const uint32_t ALL_STATES = 0xFFFFFFFFu;

/* Sends one request, numbered afresh; called with the lock held. 0, or -1
   when the kernel will not take it. */
static int DiagSend(nlmsghdr *request)
{
    if (iDiagSocket < 0)
        iDiagSocket = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (iDiagSocket < 0)
        return -1;
    request->nlmsg_seq = ++iDiagSeq;
    sockaddr_nl kernel;
    memset(&kernel, 0, sizeof(kernel));
    kernel.nl_family = AF_NETLINK;
    return sendto(iDiagSocket, request, request->nlmsg_len, 0, (sockaddr *)&kernel,
                  sizeof(kernel)) < 0
               ? -1
               : 0;
}

static void ConnFrom(const inet_diag_msg *m, PConn *c)
{
    c->local = ntohl(m->id.idiag_src[0]);
    c->localPort = ntohs(m->id.idiag_sport);
    c->remote = ntohl(m->id.idiag_dst[0]);
    c->remotePort = ntohs(m->id.idiag_dport);
    c->id = (uint64_t)m->id.idiag_cookie[1] << 32 | m->id.idiag_cookie[0];
    c->account = m->idiag_uid;
    c->process = 0;
    c->holder = m->idiag_inode;
}

/* One socket by its four fields: 1 with it in *c and its state in *state,
   0 when there is none, -1 when the kernel cannot tell. The kernel answers
   within the send; answers to an earlier question are passed over by their
   number. */
static int DiagOne(PAddr local, int localPort, PAddr remote, int remotePort, PConn *c, int *state)
{
    struct {
        nlmsghdr nlh;
        inet_diag_req_v2 req;
    } ask;
    memset(&ask, 0, sizeof(ask));
    ask.nlh.nlmsg_len = sizeof(ask);
    ask.nlh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    ask.nlh.nlmsg_flags = NLM_F_REQUEST;
    ask.req.sdiag_family = AF_INET;
    ask.req.sdiag_protocol = IPPROTO_TCP;
    ask.req.idiag_states = ALL_STATES;
    ask.req.id.idiag_sport = htons((uint16_t)localPort);
    ask.req.id.idiag_dport = htons((uint16_t)remotePort);
    ask.req.id.idiag_src[0] = htonl(local);
    ask.req.id.idiag_dst[0] = htonl(remote);
    ask.req.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
    ask.req.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;

    std::lock_guard<std::mutex> hold(DiagLock);
    if (DiagSend(&ask.nlh) != 0)
        return -1;
    for (;;) {
        alignas(nlmsghdr) char buf[1024];
        ssize_t n = recv(iDiagSocket, buf, sizeof(buf), MSG_DONTWAIT);
        if (n < (ssize_t)sizeof(nlmsghdr))
            return -1;
        const nlmsghdr *h = (const nlmsghdr *)buf;
        if (!NLMSG_OK(h, (size_t)n) || h->nlmsg_seq != iDiagSeq)
            continue;
        if (h->nlmsg_type == NLMSG_ERROR) {
            const nlmsgerr *e = (const nlmsgerr *)NLMSG_DATA(h);
            return e->error == -ENOENT ? 0 : -1;
        }
        if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY)
            return -1;
        const inet_diag_msg *m = (const inet_diag_msg *)NLMSG_DATA(h);
        ConnFrom(m, c);
        *state = m->idiag_state;
        return 1;
    }
}

int PlatTcpConnected(PAddr local, int localPort, PAddr remote, int remotePort, int64_t,
                     uint64_t *id)
{
    if (id != nullptr)
        *id = 0;
    if (localPort < 1 || localPort > 65535 || remotePort < 1 || remotePort > 65535)
        return 0;
    PConn c;
    int state = 0;
    int found = DiagOne(local, localPort, remote, remotePort, &c, &state);
    /* The look-up finds a listener or a closing connection as well. */
    if (found != 1 || state != TCP_ESTABLISHED)
        return found < 0 ? -1 : 0;
    if (id != nullptr)
        *id = c.id;
    return 1;
}

int PlatPeerEnd(PSocket s, PConn *end)
{
    sockaddr_in a, b;
    socklen_t alen = sizeof(a), blen = sizeof(b);
    if (getpeername((int)s, (sockaddr *)&a, &alen) != 0 ||
        getsockname((int)s, (sockaddr *)&b, &blen) != 0)
        return -1;
    int state = 0;
    return DiagOne(ntohl(a.sin_addr.s_addr), ntohs(a.sin_port), ntohl(b.sin_addr.s_addr),
                   ntohs(b.sin_port), end, &state) == 1
               ? 0
               : -1;
}

/* Reads the parts of a dump from fd into out (up to max), with buf for
   room. The count, or -1. */
static int DumpInto(int fd, unsigned seq, char *buf, size_t size, PConn *out, int max)
{
    int count = 0;
    for (;;) {
        ssize_t n = recv(fd, buf, size, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < (ssize_t)sizeof(nlmsghdr))
            return -1;
        size_t left = (size_t)n;
        for (const nlmsghdr *h = (const nlmsghdr *)buf; NLMSG_OK(h, left);
             h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_seq != seq)
                continue;
            if (h->nlmsg_type == NLMSG_DONE)
                return count;
            if (h->nlmsg_type == NLMSG_ERROR)
                return -1;
            if (h->nlmsg_type != SOCK_DIAG_BY_FAMILY)
                continue;
            if (count < max)
                ConnFrom((const inet_diag_msg *)NLMSG_DATA(h), &out[count]);
            count++;
        }
    }
}

/* A dump of the connections that the kernel itself filters by both ports,
   so that the answer holds only them however many are open. The filter is
   two tests, each an op and the port in the next op's last field; a test
   that fails jumps 4 bytes past the end, which rejects the socket. */
int PlatFindConns(int localPort, int remotePort, PConn *out, int max)
{
    if (localPort < 1 || localPort > 65535 || remotePort < 1 || remotePort > 65535)
        return 0;
    struct {
        nlmsghdr nlh;
        inet_diag_req_v2 req;
        rtattr bytecode;
        inet_diag_bc_op ops[4];
    } ask;
    memset(&ask, 0, sizeof(ask));
    ask.nlh.nlmsg_len = sizeof(ask);
    ask.nlh.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    ask.nlh.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    ask.req.sdiag_family = AF_INET;
    ask.req.sdiag_protocol = IPPROTO_TCP;
    ask.req.idiag_states = 1u << TCP_ESTABLISHED | 1u << TCP_SYN_SENT;
    ask.req.idiag_ext = 0;
    ask.bytecode.rta_type = INET_DIAG_REQ_BYTECODE;
    ask.bytecode.rta_len = RTA_LENGTH(sizeof(ask.ops));
    ask.ops[0] = {INET_DIAG_BC_S_EQ, 8, 20};
    ask.ops[1] = {0, 0, (uint16_t)localPort};
    ask.ops[2] = {INET_DIAG_BC_D_EQ, 8, 12};
    ask.ops[3] = {0, 0, (uint16_t)remotePort};

    /* A socket of its own, so that the kernel's walk for the dump never
       holds up the IDENT loop's questions; the dump comes in parts of a
       page or so each. */
    const size_t BUF_SIZE = 32768;
    char *buf = (char *)malloc(BUF_SIZE);
    int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    sockaddr_nl kernel;
    memset(&kernel, 0, sizeof(kernel));
    kernel.nl_family = AF_NETLINK;
    ask.nlh.nlmsg_seq = 1;
    int count = -1;
    if (buf != nullptr && fd >= 0 &&
        sendto(fd, &ask, sizeof(ask), 0, (sockaddr *)&kernel, sizeof(kernel)) >= 0)
        count = DumpInto(fd, 1, buf, BUF_SIZE, out, max);
    if (fd >= 0)
        close(fd);
    free(buf);
    return count;
}

/* Whether the process whose descriptors are listed in dir holds each of
   the two sockets; -1 when it may not be read. */
static int HoldsWhich(const char *dir, uint64_t a, uint64_t b, bool *hasA, bool *hasB)
{
    DIR *fds = opendir(dir);
    if (fds == nullptr)
        return -1;
    char want[2][48];
    snprintf(want[0], sizeof(want[0]), "socket:[%llu]", (unsigned long long)a);
    snprintf(want[1], sizeof(want[1]), "socket:[%llu]", (unsigned long long)b);
    *hasA = *hasB = false;
    while (const dirent *e = readdir(fds)) {
        char link[48];
        ssize_t n = readlinkat(dirfd(fds), e->d_name, link, sizeof(link) - 1);
        if (n <= 0)
            continue;
        link[n] = '\0';
        *hasA = *hasA || strcmp(link, want[0]) == 0;
        *hasB = *hasB || strcmp(link, want[1]) == 0;
    }
    closedir(fds);
    return 0;
}

/* The process that last held both sockets: the board's client, a long-lived
   program that sends every record, is looked at first. */
static std::atomic<long> iLastHolder(0);

static bool bHoldsBoth(long pid, uint64_t a, uint64_t b)
{
    char dir[48];
    snprintf(dir, sizeof(dir), "/proc/%ld/fd", pid);
    bool hasA = false, hasB = false;
    return HoldsWhich(dir, a, b, &hasA, &hasB) == 0 && hasA && hasB;
}

/* Otherwise every process's descriptors are looked at, once per record: a
   board's host runs a few hundred processes, and records come when users
   connect. A socket held by no process this one may see (another
   account's, or /proc mounted to hide them) leaves the answer to the
   caller. */
int PlatSameProgram(const PConn *a, const PConn *b)
{
    if (a->holder == 0 || b->holder == 0)
        return -1;
    long last = iLastHolder;
    if (last > 0 && bHoldsBoth(last, a->holder, b->holder))
        return 1;
    DIR *proc = opendir("/proc");
    if (proc == nullptr)
        return -1;
    bool sawA = false, sawB = false;
    int same = 0;
    while (const dirent *e = readdir(proc)) {
        if (e->d_name[0] < '1' || e->d_name[0] > '9')
            continue;
        char dir[288];
        snprintf(dir, sizeof(dir), "/proc/%s/fd", e->d_name);
        bool hasA = false, hasB = false;
        if (HoldsWhich(dir, a->holder, b->holder, &hasA, &hasB) != 0)
            continue;
        sawA = sawA || hasA;
        sawB = sawB || hasB;
        if (hasA && hasB) {
            iLastHolder = atol(e->d_name);
            same = 1;
            break;
        }
    }
    closedir(proc);
    return same == 1 ? 1 : sawA && sawB ? 0 : -1;
}
