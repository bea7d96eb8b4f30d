/* tests/fault/nosockets.cpp: a seam for the console program, linked with
   --wrap, that makes the socket library refuse to start as Winsock can
   (WSASYSNOTREADY). The host library starts it first and is let through, so
   that the host link works; the program's own start-up is refused, and from
   then on no socket can be made, as on Windows without the library. */
#include "../../common/platform.h"

#include <atomic>

/* The platform's own calls, under the names the linker gives them. */
int RealSockStartup(void) __asm__("__real__Z15PlatSockStartupv");
PSocket RealTcpSocket(void) __asm__("__real__Z13PlatTcpSocketv");
int WrapSockStartup(void) __asm__("__wrap__Z15PlatSockStartupv");
PSocket WrapTcpSocket(void) __asm__("__wrap__Z13PlatTcpSocketv");

static const int WSASYSNOTREADY_CODE = 10091;
static std::atomic<int> iStartups(0);
static std::atomic<bool> bRefused(false);

int WrapSockStartup(void)
{
    if (iStartups++ == 0)
        return RealSockStartup();
    bRefused = true;
    return WSASYSNOTREADY_CODE;
}

PSocket WrapTcpSocket(void)
{
    return bRefused ? PSOCKET_INVALID : RealTcpSocket();
}
