/* tests/support/sockets.cpp: loopback sockets for the tests. */
#include "testsupport.h"

#include "../../common/accept.h"

#include <gtest/gtest.h>

static const PAddr LOOPBACK = 0x7F000001u;

static void StartSockets(void)
{
    static bool bStarted = false;
    if (!bStarted)
        bStarted = PlatSockStartup() == 0;
}

PSocket ListenLoopback(int *port)
{
    StartSockets();
    PSocket s = PlatTcpSocket();
    EXPECT_NE(s, PSOCKET_INVALID);
    EXPECT_EQ(PlatBind(s, LOOPBACK, 0), 0);
    EXPECT_EQ(PlatListen(s, 64), 0);
    *port = PlatLocalPort(s);
    return s;
}

PSocket ConnectLoopback(int port)
{
    StartSockets();
    PSocket s = PlatConnect(LOOPBACK, port);
    EXPECT_NE(s, PSOCKET_INVALID);
    return s;
}

std::string ReadAll(PSocket s, int ms, int *closedAfterMs)
{
    std::string got;
    int64_t start = PlatTickMs();
    int64_t deadline = start + ms;
    char buf[512];
    if (closedAfterMs != nullptr)
        *closedAfterMs = -1;
    for (;;) {
        int64_t left = deadline - PlatTickMs();
        if (left <= 0)
            break;
        int n = PlatRecv(s, buf, sizeof(buf), (int)left);
        if (n == 0 && closedAfterMs != nullptr)
            *closedAfterMs = (int)(PlatTickMs() - start);
        if (n <= 0)
            break;
        got.append(buf, (size_t)n);
    }
    return got;
}

void ServeOne(PSocket listener, void (*handler)(void *))
{
    PSocket c = PlatAccept(listener, nullptr, nullptr);
    ASSERT_NE(c, PSOCKET_INVALID);
    ASSERT_EQ(PlatThreadStart(handler, SocketArg(c)), 0);
}
