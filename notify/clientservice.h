/* notify/clientservice.h: the notification port, on which Palaver's records
   keep the node table current. */
#ifndef QUILLET_CLIENTSERVICE_H
#define QUILLET_CLIENTSERVICE_H

#include "../common/platform.h"

/* As long as the system allows, for the reason given at IDENT_BACKLOG. */
#define CLIENT_BACKLOG PLAT_BACKLOG_MAX

/* Creates the notification port's socket on a port the system picks and
   returns that port (0 when the socket library is not working). */
int OpenClientPort(void);

/* Listens on the notification port and serves it for ever. */
void ClientListen(void);

/* Handles one record on an accepted connection (its socket, see SocketArg),
   then closes it. Runs on a thread of its own. */
void ClientHandler(void *connection);

/* Whether a peer may send records: only this host describes its own
   connections. */
int bLocalPeer(unsigned int peer, unsigned int local);

#endif
