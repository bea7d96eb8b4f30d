/* common/accept.cpp: accepting connections and starting their handlers. */
#include "accept.h"

/* Pause after a failed accept or thread start. Short enough that service
   resumes quickly once resources free up, long enough not to spin. */
static const int ACCEPT_RETRY_MS = 100;

PSocket AcceptNext(PSocket listenSocket, PAddr *peer, PAddr *local)
{
    for (;;) {
        PSocket s = PlatAccept(listenSocket, peer, local);
        if (s != PSOCKET_INVALID)
            return s;
        PlatSleep(ACCEPT_RETRY_MS);
    }
}

void StartHandler(void (*handler)(void *), PSocket connection)
{
    if (PlatThreadStart(handler, SocketArg(connection)) != 0) {
        PlatClose(connection);
        PlatSleep(ACCEPT_RETRY_MS);
    }
}

void *SocketArg(PSocket s)
{
    return (void *)s;
}

PSocket ArgSocket(void *arg)
{
    return (PSocket)arg;
}
