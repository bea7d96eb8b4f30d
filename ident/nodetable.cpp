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

int SetNodeRec(int node, int remotePort, int localPort, const char *name, int *freed)
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
    std::lock_guard<std::mutex> hold(NodeRecLock);
    const char *names[NODE_COUNT], *idents[NODE_COUNT];
    int online = 0;
    for (int i = 0; i < NODE_COUNT; i++) {
        NodeEntry *other = &NodeRec[i];
        if (i == node || other->bInUse != 1)
            continue;
        if (other->iLocalPort == localPort && other->iRemotePort == remotePort) {
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

int FindNodeRec(int localPort, int remotePort, int first, char *name, char *ident)
{
    if (first < 0)
        first = 0;
    std::lock_guard<std::mutex> hold(NodeRecLock);
    for (int i = first; i < NODE_COUNT; i++) {
        const NodeEntry *entry = &NodeRec[i];
        if (entry->bInUse == 1 && entry->iLocalPort == localPort &&
            entry->iRemotePort == remotePort) {
            memcpy(name, entry->sName, NODE_NAME_SIZE);
            if (ident != nullptr)
                memcpy(ident, entry->sIdent, IRC_IDENT_SIZE);
            return i;
        }
    }
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
