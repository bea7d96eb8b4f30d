/* console/account.h: giving up root for an account of Quillet's own. */
#ifndef QUILLET_ACCOUNT_H
#define QUILLET_ACCOUNT_H

#include <sys/types.h>

/* The account named name: 0 with its uid and group, or -1 when there is
   none. */
int LookUpAccount(const char *name, uid_t *uid, gid_t *gid);

/* Gives up root for the account, for good: its group alone, then the group,
   then the user (glibc applies them to every thread), and checks that root
   cannot be taken back. 0, or -1 with errno. */
int GiveUpRoot(uid_t uid, gid_t gid);

#endif
