/* console/hostlock.cpp: one console Quillet per host. A second copy could
   not bind port 113, yet would register its own notification port with the
   host server and take the board's records away from the first.

   The lock is a socket bound to a name in Linux's abstract namespace: there
   is no file to go stale after a crash (the name goes with the process's
   last descriptor), and the namespace belongs to the network namespace, so
   copies in separate namespaces do not refuse each other. Any account may
   bind such a name, so the lock listens: a second start connects to it
   and reads who holds it, and a holder that cannot be a Quillet does not
   keep Quillet from running. */
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

/* Second starts waiting to read the holder; more only stall in connect,
   and are taken for a running copy. */
static const int HOST_LOCK_BACKLOG = 64;

/* Who holds the lock at addr: HOST_TAKEN for a Quillet, HOST_SQUATTED for
   anything else, including a socket that takes no connections. */
static HostClaim Holder(const sockaddr_un *addr, socklen_t len, uid_t otherUid, uid_t *holder)
{
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0)
        return HOST_TAKEN;
    int rc = connect(s, (const sockaddr *)addr, len);
    int err = errno;
    ucred cred;
    socklen_t credLen = sizeof(cred);
    HostClaim claim = HOST_SQUATTED;
    if (rc != 0 && err == EAGAIN)
        claim = HOST_TAKEN; /* a full queue: a holder that listens, never accepts */
    else if (rc == 0 && getsockopt(s, SOL_SOCKET, SO_PEERCRED, &cred, &credLen) == 0) {
        *holder = cred.uid;
        if (cred.uid == 0 || cred.uid == getuid() || cred.uid == otherUid)
            claim = HOST_TAKEN;
    }
    close(s);
    return claim;
}

HostClaim ClaimHost(uid_t otherUid, uid_t *holder)
{
    *holder = (uid_t)-1;
    int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return HOST_CLAIMED; /* no lock to be had: run rather than refuse */
    sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path + 1, HOST_LOCK_NAME, sizeof(HOST_LOCK_NAME) - 1);
    socklen_t len = (socklen_t)(offsetof(sockaddr_un, sun_path) + 1 + sizeof(HOST_LOCK_NAME) - 1);
    if (bind(s, (sockaddr *)&addr, len) != 0) {
        int err = errno;
        close(s);
        return err == EADDRINUSE ? Holder(&addr, len, otherUid, holder) : HOST_CLAIMED;
    }
    listen(s, HOST_LOCK_BACKLOG);
    iHostLock = s;
    return HOST_CLAIMED;
}
