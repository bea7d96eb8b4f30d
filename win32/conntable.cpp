/* win32/conntable.cpp: the system's table of TCP connections: whether a
   connection is open, which connections use a port pair, and which
   process owns them. */
#include "../common/platform.h"

#include <windows.h>
#include <winsock.h>
#include <iphlpapi.h>
#include <algorithm>
#include <mutex>
#include <vector>

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

/* Reads one of the system's tables into table; 0, or -1 when the system
   could not give it. The table can grow between asking its size and
   copying it: while other programs open and close connections by the
   thousand, a copy of many thousand rows takes long enough that it grows
   every time. Asking with room for an eighth more rows than last said
   lets a copy land. */
static int ReadTcpTable(std::vector<char> *table, TCP_TABLE_CLASS kind, size_t rowSize)
{
    DWORD size = (DWORD)table->size();
    for (int tries = 0; tries < 8; tries++) {
        if (size < sizeof(DWORD) + 16 * rowSize)
            size = (DWORD)(sizeof(DWORD) + 16 * rowSize);
        table->resize(size);
        DWORD rc = GetExtendedTcpTable(table->data(), &size, FALSE, AF_INET, kind, 0);
        if (rc == NO_ERROR)
            return 0;
        if (rc != ERROR_INSUFFICIENT_BUFFER)
            return -1;
        size += size / 8 + (DWORD)(64 * rowSize);
    }
    return -1;
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
    if (ReadTcpTable(&TcpTable, TCP_TABLE_BASIC_CONNECTIONS, sizeof(MIB_TCPROW)) != 0)
        return -1;
    SortOpenConns();
    tTcpTableRead = now;
    bTcpTableHeld = true;
    return 0;
}

int PlatTcpConnected(PAddr local, int localPort, PAddr remote, int remotePort, int64_t sinceUs,
                     uint64_t *id)
{
    /* Windows keeps nothing that tells a connection from a later one with
       the same four fields. */
    if (id != nullptr)
        *id = 0;
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

/* A fresh copy of the table with each row's owning process. 0, or -1 when
   the system could not give it. Connections only: the whole table holds
   every connection closed in the last minutes, with no owner, and Wine
   looks each one's owner up at length (43 s for 15,000 of them after a
   flood of connections, against 44 ms without them). */
static int OwnedTable(std::vector<char> *table)
{
    return ReadTcpTable(table, TCP_TABLE_OWNER_PID_CONNECTIONS, sizeof(MIB_TCPROW_OWNER_PID));
}

static PConn ConnFrom(const MIB_TCPROW_OWNER_PID &row)
{
    PConn c;
    c.local = ntohl(row.dwLocalAddr);
    c.localPort = ntohs((u_short)row.dwLocalPort);
    c.remote = ntohl(row.dwRemoteAddr);
    c.remotePort = ntohs((u_short)row.dwRemotePort);
    c.id = 0;
    c.account = -1;
    c.process = row.dwOwningPid;
    c.holder = 0;
    return c;
}

int PlatFindConns(int localPort, int remotePort, PConn *out, int max)
{
    if (localPort < 1 || localPort > 65535 || remotePort < 1 || remotePort > 65535)
        return 0;
    std::vector<char> copy;
    if (OwnedTable(&copy) != 0)
        return -1;
    const MIB_TCPTABLE_OWNER_PID *table = (const MIB_TCPTABLE_OWNER_PID *)copy.data();
    int count = 0;
    for (DWORD i = 0; i < table->dwNumEntries; i++) {
        const MIB_TCPROW_OWNER_PID &row = table->table[i];
        if ((row.dwState == MIB_TCP_STATE_ESTAB || row.dwState == MIB_TCP_STATE_SYN_SENT) &&
            ntohs((u_short)row.dwLocalPort) == localPort &&
            ntohs((u_short)row.dwRemotePort) == remotePort) {
            if (count < max)
                out[count] = ConnFrom(row);
            count++;
        }
    }
    return count;
}

int PlatPeerEnd(PSocket s, PConn *end)
{
    sockaddr_in a, b;
    int alen = sizeof(a), blen = sizeof(b);
    if (getpeername((SOCKET)s, (sockaddr *)&a, &alen) != 0 ||
        getsockname((SOCKET)s, (sockaddr *)&b, &blen) != 0)
        return -1;
    std::vector<char> copy;
    if (OwnedTable(&copy) != 0)
        return -1;
    const MIB_TCPTABLE_OWNER_PID *table = (const MIB_TCPTABLE_OWNER_PID *)copy.data();
    for (DWORD i = 0; i < table->dwNumEntries; i++) {
        const MIB_TCPROW_OWNER_PID &row = table->table[i];
        if (row.dwLocalAddr == a.sin_addr.s_addr && (u_short)row.dwLocalPort == a.sin_port &&
            row.dwRemoteAddr == b.sin_addr.s_addr && (u_short)row.dwRemotePort == b.sin_port) {
            *end = ConnFrom(row);
            return 0;
        }
    }
    return -1;
}

/* Each row names its owning process; 0 names none (a connection the
   system keeps after its program closed it). */
int PlatSameProgram(const PConn *a, const PConn *b)
{
    return a->process != 0 && a->process == b->process ? 1 : 0;
}
