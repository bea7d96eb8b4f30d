/* notify/clientrec.h: the two notification records Palaver sends, and the
   reading of them. Text fields are NUL-terminated within their widths. */
#ifndef QUILLET_CLIENTREC_H
#define QUILLET_CLIENTREC_H

#include <stddef.h>

/* Connect: a connection of a node's user, 150 bytes. */
struct ClientCrec {
    char sKind[4]; /* byte 0 is 'C' */
    char sNode[5];
    char sRemotePort[6];
    char sLocalPort[6];
    char sName[129];
};

/* Quit: the node's user has left, 9 bytes. */
struct ClientQrec {
    char sKind[4]; /* byte 0 is 'Q' */
    char sNode[5];
};

static_assert(sizeof(ClientCrec) == 150, "Connect records are 150 bytes");
static_assert(offsetof(ClientCrec, sNode) == 4, "node at offset 4");
static_assert(offsetof(ClientCrec, sRemotePort) == 9, "remote port at offset 9");
static_assert(offsetof(ClientCrec, sLocalPort) == 15, "local port at offset 15");
static_assert(offsetof(ClientCrec, sName) == 21, "name at offset 21");
static_assert(sizeof(ClientQrec) == 9, "Quit records are 9 bytes");

#define CLIENT_RECV_MAX 1024

enum ClientKind { CLIENT_CONNECT, CLIENT_QUIT, CLIENT_UNKNOWN };

/* A record as read: every text cut at its field's width. */
struct ClientRecord {
    ClientKind kind;
    int iNode;
    int iRemotePort;
    int iLocalPort;
    char sNodeText[sizeof(((ClientQrec *)nullptr)->sNode) + 1];
    char sName[sizeof(((ClientCrec *)nullptr)->sName) + 1];
};

/* How many bytes the record that begins with byte first needs. */
int ClientRecordSize(char first);

/* 1 when the len bytes received (len >= 1) hold a whole record: a Connect
   once its name's NUL has come, a Quit once its node's NUL has come, either
   at the latest at its full size; any other kind at once. Senders may end a
   record after its last text, and may keep the connection open. */
int bClientRecordComplete(const char *bytes, int len);

/* Reads a record from len received bytes (len >= 1). Bytes beyond those
   received read as NUL. */
void ReadClientRecord(const char *bytes, int len, ClientRecord *record);

#endif
