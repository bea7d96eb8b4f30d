/* bench/refserver.cpp: quillet-ref, the plain server that the hold figures
   are measured beside, so that what the machine's load does to a thread per
   connection can be told from what Quillet adds. One detached thread per
   connection, the same waits (2 s before the query is read, 2 s after the
   reply), a USERID reply for the node the generator asks about, port 113 on
   every address with the longest accept queue the system allows. No caps,
   no log, no table.

   quillet-ref --epoll: the least a server on one epoll loop can do, for the
   rate runs of the build without waits: accept, one receive when the query
   is there, the same reply, close. */
#include "loadgen.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

static const int WAIT_MS = 2000;
static const int IDLE_MS = 60000;
static const size_t STACK_BYTES = 32 * 1024; /* as Quillet's handlers */

static void SleepMs(int ms)
{
    timespec ts = {ms / 1000, (long)(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0) {
    }
}

/* Answers the query of n bytes in query; 1 when a reply was sent. */
static int Reply(int fd, char *query, ssize_t n)
{
    if (n <= 0)
        return 0;
    query[n] = '\0';
    int local = 0, remote = 0;
    sscanf(query, "%d , %d", &local, &remote);
    char reply[128];
    int len = snprintf(reply, sizeof(reply), "%d,%d : USERID : UNIX : " BENCH_NAME_PREFIX "%d\r\n",
                       local, remote, local - BENCH_LOCAL_BASE);
    send(fd, reply, (size_t)len, MSG_NOSIGNAL);
    return 1;
}

static void *Serve(void *arg)
{
    int fd = (int)(intptr_t)arg;
    SleepMs(WAIT_MS);
    pollfd p = {fd, POLLIN, 0};
    char query[1025];
    if (Reply(fd, query, poll(&p, 1, IDLE_MS) > 0 ? recv(fd, query, 1024, 0) : -1))
        SleepMs(WAIT_MS);
    close(fd);
    return nullptr;
}

static void ServeByEpoll(int s)
{
    int ep = epoll_create1(0);
    epoll_event ev = {};
    ev.events = EPOLLIN;
    ev.data.fd = s;
    if (ep < 0 || epoll_ctl(ep, EPOLL_CTL_ADD, s, &ev) != 0) {
        perror("quillet-ref: epoll");
        return;
    }
    epoll_event ready[256];
    char query[1025];
    for (;;) {
        int n = epoll_wait(ep, ready, 256, -1);
        for (int i = 0; i < n; i++) {
            int fd = ready[i].data.fd;
            if (fd != s) {
                Reply(fd, query, recv(fd, query, 1024, 0));
                close(fd);
                continue;
            }
            int c;
            while ((c = accept4(s, nullptr, nullptr, SOCK_NONBLOCK)) >= 0) {
                ev.data.fd = c;
                if (epoll_ctl(ep, EPOLL_CTL_ADD, c, &ev) != 0)
                    close(c);
            }
        }
    }
}

int main(int argc, char **argv)
{
    bool byEpoll = argc > 1 && strcmp(argv[1], "--epoll") == 0;
    rlimit lim;
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
    int s = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in sin;
    memset(&sin, 0, sizeof(sin));
    sin.sin_family = AF_INET;
    sin.sin_port = htons(113);
    if (bind(s, (sockaddr *)&sin, sizeof(sin)) != 0 || listen(s, 0x7FFFFFFF) != 0) {
        perror("quillet-ref: port 113");
        return 1;
    }
    printf("quillet-ref: serving\n");
    fflush(stdout);
    if (byEpoll) {
        fcntl(s, F_SETFL, O_NONBLOCK);
        ServeByEpoll(s);
        return 1;
    }
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, STACK_BYTES);
    for (;;) {
        int c = accept(s, nullptr, nullptr);
        if (c < 0) {
            SleepMs(100);
            continue;
        }
        pthread_t t;
        if (pthread_create(&t, &attr, Serve, (void *)(intptr_t)c) != 0) {
            close(c);
            SleepMs(100);
        }
    }
}
