/* notify/clientservice.h: the notification port, on which Palaver's records
   keep the node table current. */
#ifndef QUILLET_CLIENTSERVICE_H
#define QUILLET_CLIENTSERVICE_H

#include "../common/platform.h"

/* As long as the system allows, for the reason given at IDENT_BACKLOG. */
#define CLIENT_BACKLOG PLAT_BACKLOG_MAX

/* Creates the notification port's socket on a port the system picks,
   listens on it and returns that port. When a step fails it logs which one,
   with the system's error code, and returns 0. */
int OpenClientPort(void);

/* Serves the port that OpenClientPort opened, for ever. */
void ClientListen(void);

/* Hands an accepted connection (from AcceptNext, in the place it took) to
   a ClientHandler thread when it comes from this host, or refuses and
   closes it. Either way it is counted. */
void AdmitClient(PSocket s, PAddr peer, PAddr local);

/* Handles one record on an accepted connection (its socket, see SocketArg),
   then closes it. Runs on a thread of its own. */
void ClientHandler(void *connection);

/* Whether a peer is this host by its addresses alone: loopback, or the
   connection's own local address. Only this host describes its own
   connections; AdmitClient also asks after the host's other addresses. */
int bLocalPeer(unsigned int peer, unsigned int local);

#endif
