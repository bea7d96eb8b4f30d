/* console/hostlock.cpp: one console Quillet per host. A second copy could
   not bind port 113, yet would register its own notification port with the
   host server and take the board's records away from the first.

   The lock is a socket bound to a name in Linux's abstract namespace: there
   is no file to go stale after a crash (the name goes with the process's
   last descriptor), and the namespace belongs to the network namespace, so
   copies in separate namespaces do not refuse each other. */
#include "hostlock.h"

#include <errno.h>
#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

/* After the leading NUL that puts it in the abstract namespace. */
static const char HOST_LOCK_NAME[] = "quillet/one-per-host";

/* Held open, never closed: the lock lasts as long as the process. */
static int iHostLock = -1;

int bClaimHost(void)
{
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return 1; /* no lock to be had: run rather than refuse */
    sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path + 1, HOST_LOCK_NAME, sizeof(HOST_LOCK_NAME) - 1);
    socklen_t len = (socklen_t)(offsetof(sockaddr_un, sun_path) + 1 + sizeof(HOST_LOCK_NAME) - 1);
    if (bind(s, (sockaddr *)&addr, len) != 0) {
        int err = errno;
        close(s);
        return err == EADDRINUSE ? 0 : 1;
    }
    iHostLock = s;
    return 1;
}
