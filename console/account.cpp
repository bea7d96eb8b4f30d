/* console/account.cpp: giving up root for an account of Quillet's own. */
#include "account.h"

#include <errno.h>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

int LookUpAccount(const char *name, uid_t *uid, gid_t *gid)
{
    const passwd *pw = getpwnam(name);
    if (pw == nullptr)
        return -1;
    *uid = pw->pw_uid;
    *gid = pw->pw_gid;
    return 0;
}

int GiveUpRoot(uid_t uid, gid_t gid)
{
    if (setgroups(1, &gid) != 0 || setgid(gid) != 0 || setuid(uid) != 0)
        return -1;
    if (uid != 0 && setuid(0) == 0) {
        errno = EPERM;
        return -1;
    }
    return 0;
}
