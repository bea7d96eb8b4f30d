/* console/hostlock.h: one console Quillet per host. */
#ifndef QUILLET_HOSTLOCK_H
#define QUILLET_HOSTLOCK_H

#include <sys/types.h>

enum HostClaim {
    HOST_CLAIMED, /* this copy holds the lock and may run */
    HOST_TAKEN,   /* another Quillet holds it */
    HOST_SQUATTED /* something that is no Quillet holds it: run without it */
};

/* Takes the host's lock for the rest of the process's life. A holder is a
   Quillet when it runs as root, as this process's account or as
   otherUid (the account root gives up for, or -1); its uid goes to
   *holder. */
HostClaim ClaimHost(uid_t otherUid, uid_t *holder);

#endif
