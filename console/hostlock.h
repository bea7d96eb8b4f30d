/* console/hostlock.h: one console Quillet per host. */
#ifndef QUILLET_HOSTLOCK_H
#define QUILLET_HOSTLOCK_H

/* Takes the host's lock for the rest of the process's life: 1 when this
   copy may run, 0 when another Quillet holds it. */
int bClaimHost(void);

#endif
