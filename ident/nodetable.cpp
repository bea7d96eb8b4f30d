/* ident/nodetable.cpp: the node table and its lock. */
#include "nodetable.h"

#include "../common/textutil.h"

#include <mutex>
#include <string.h>

static NodeEntry NodeRec[NODE_COUNT];
static std::mutex NodeRecLock;

static bool bValidNode(int node)
{
    return node >= 0 && node < NODE_COUNT;
}

static void FreeEntry(NodeEntry *entry)
{
    memset(entry, 0, sizeof(*entry));
}

void InitNodeRec(void)
{
    std::lock_guard<std::mutex> hold(NodeRecLock);
    for (int i = 0; i < NODE_COUNT; i++)
        FreeEntry(&NodeRec[i]);
}

static bool bSameConn(const NodeEntry *a, const NodeEntry *b)
{
    if (a->iLocalPort != b->iLocalPort || a->iRemotePort != b->iRemotePort)
        return false;
    /* Answering from the table alone, a port pair names one connection. */
    if (!a->bBound || !b->bBound)
        return true;
    return a->conn.local == b->conn.local && a->conn.remote == b->conn.remote &&
           a->conn.id == b->conn.id;
}

static bool bFoundFrom(const NodeEntry *entry, const NodeAsk *from)
{
    return from == nullptr || !entry->bBound ||
           (entry->conn.remote == from->asker && entry->conn.local == from->arrivedOn);
}

int SetNodeRec(int node, int remotePort, int localPort, const char *name, int *freed,
               const PConn *conn)
{
    if (freed != nullptr)
        *freed = -1;
    if (!bValidNode(node))
        return -1;
    /* The name is cut outside the lock so the lock covers only the copy. */
    NodeEntry entry;
    memset(&entry, 0, sizeof(entry));
    CopyText(entry.sName, name, NODE_NAME_SIZE);
    entry.iRemotePort = remotePort;
    entry.iLocalPort = localPort;
    entry.bInUse = 1;
    if (conn != nullptr) {
        entry.bBound = 1;
        entry.conn = *conn;
    }
    std::lock_guard<std::mutex> hold(NodeRecLock);
    const char *names[NODE_COUNT], *idents[NODE_COUNT];
    int online = 0;
    for (int i = 0; i < NODE_COUNT; i++) {
        NodeEntry *other = &NodeRec[i];
        if (i == node || other->bInUse != 1)
            continue;
        if (bSameConn(other, &entry)) {
            FreeEntry(other);
            if (freed != nullptr)
                *freed = i;
            continue;
        }
        names[online] = other->sName;
        idents[online++] = other->sIdent;
    }
    IrcIdentAmong(entry.sName, online, names, idents, entry.sIdent, &entry.iIdentTry);
    NodeRec[node] = entry;
    return 0;
}

int ClearNodeRec(int node)
{
    if (!bValidNode(node))
        return -1;
    std::lock_guard<std::mutex> hold(NodeRecLock);
    FreeEntry(&NodeRec[node]);
    return 0;
}

int FindNodeRec(int localPort, int remotePort, int first, char *name, char *ident,
                const NodeAsk *from, PConn *conn)
{
    if (first < 0)
        first = 0;
    std::lock_guard<std::mutex> hold(NodeRecLock);
    for (int i = first; i < NODE_COUNT; i++) {
        const NodeEntry *entry = &NodeRec[i];
        if (entry->bInUse == 1 && entry->iLocalPort == localPort &&
            entry->iRemotePort == remotePort && bFoundFrom(entry, from)) {
            memcpy(name, entry->sName, NODE_NAME_SIZE);
            if (ident != nullptr)
                memcpy(ident, entry->sIdent, IRC_IDENT_SIZE);
            if (conn != nullptr)
                *conn = entry->conn;
            return i;
        }
    }
    return -1;
}

int FindNodeRecElsewhere(int localPort, int remotePort, const NodeAsk *from, PConn *conn)
{
    std::lock_guard<std::mutex> hold(NodeRecLock);
    for (int i = 0; i < NODE_COUNT; i++) {
        const NodeEntry *entry = &NodeRec[i];
        if (entry->bInUse == 1 && entry->bBound && entry->iLocalPort == localPort &&
            entry->iRemotePort == remotePort && !bFoundFrom(entry, from)) {
            *conn = entry->conn;
            return i;
        }
    }
    return -1;
}

int NodeHoldingConn(const PConn *conn)
{
    NodeEntry probe;
    memset(&probe, 0, sizeof(probe));
    probe.iLocalPort = conn->localPort;
    probe.iRemotePort = conn->remotePort;
    probe.bBound = 1;
    probe.conn = *conn;
    std::lock_guard<std::mutex> hold(NodeRecLock);
    for (int i = 0; i < NODE_COUNT; i++)
        if (NodeRec[i].bInUse == 1 && NodeRec[i].bBound && bSameConn(&NodeRec[i], &probe))
            return i;
    return -1;
}

int GetNodeRec(int node, NodeEntry *entry)
{
    if (!bValidNode(node))
        return -1;
    std::lock_guard<std::mutex> hold(NodeRecLock);
    *entry = NodeRec[node];
    return 0;
}
