/* notify/binding.h: which connection a Connect record names, and whether
   the program that sent it may name it. A record is taken only from the
   program that holds the connection it names (or, where the system will not
   say which program holds a socket, from the same account), so that no
   account on the host can name another's connection. */
#ifndef QUILLET_BINDING_H
#define QUILLET_BINDING_H

#include "../common/platform.h"

enum BindWhy {
    BIND_TAKEN,
    BIND_NO_CONNECTION,    /* nothing uses the two ports */
    BIND_ANOTHER_ACCOUNTS, /* the connection is another account's */
    BIND_ANOTHER_PROGRAMS, /* the connection is another program's */
    BIND_WHICH_UNKNOWN,    /* several are the account's, none clearly the sender's */
    BIND_CANNOT_LOOK,      /* the system would not list the connections */
    BIND_SENDER_UNKNOWN,   /* the system did not list the sender's socket */
};

/* Chooses, among the n connections conns that use a record's two ports, the
   one its sender holds. same[i] is PlatSameProgram(sender, conns[i]);
   held[i] says whether a node's entry is bound to conns[i] already. The one
   the sender's program holds (preferring one no node holds); failing that,
   where the system would not say, the only one of the sender's account, or
   its newest that no node holds. *chosen gets its index when BIND_TAKEN. */
BindWhy ChooseConn(const PConn *sender, const PConn *conns, const int *same, const bool *held,
                   int n, int *chosen);

/* With the system's tables: the connection from localPort to remotePort
   that sender holds, into *conn. */
BindWhy BindRecord(const PConn *sender, int localPort, int remotePort, PConn *conn);

/* Whether a Quit from sender may free an entry bound to conn: from the
   program (or, where the system will not say, the account) that holds the
   connection, or from anyone once the connection has ended. */
BindWhy QuitAllowed(const PConn *sender, const PConn *conn);

/* Whether the system named who holds the end: a program or an account. */
bool bHolderNamed(const PConn *end);

/* What the log says of a refusal, for a record naming localPort and
   remotePort: into text, of size bytes. */
void BindWhyText(BindWhy why, int localPort, int remotePort, char *text, int size);

#endif
