/* tests/fault/nosockets.cpp: a seam for the console program, linked with
   --wrap, that makes the socket library refuse to start as Winsock can
   (WSASYSNOTREADY). The host library starts it first and is let through, so
   that the host link works; the program's own start-up is refused, and from
   then on no socket can be made, as on Windows without the library. Nor
   can the system say which connections are open. */
#include "../../common/platform.h"

#include <atomic>

/* The platform's own calls, and the seam's, under the linker's names. */
extern "C" {
int __real_PlatSockStartup(void);
PSocket __real_PlatTcpSocket(void);
int __wrap_PlatSockStartup(void);
PSocket __wrap_PlatTcpSocket(void);
int __wrap_PlatTcpConnected(PAddr, int, PAddr, int, int64_t);
}

static const int WSASYSNOTREADY_CODE = 10091;
static std::atomic<int> iStartups(0);
static std::atomic<bool> bRefused(false);

int __wrap_PlatSockStartup(void)
{
    if (iStartups++ == 0)
        return __real_PlatSockStartup();
    bRefused = true;
    return WSASYSNOTREADY_CODE;
}

PSocket __wrap_PlatTcpSocket(void)
{
    return bRefused ? PSOCKET_INVALID : __real_PlatTcpSocket();
}

int __wrap_PlatTcpConnected(PAddr, int, PAddr, int, int64_t)
{
    return -1;
}
