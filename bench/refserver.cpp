/* bench/refserver.cpp: quillet-ref, the plain server that the hold figures
   are measured beside, so that what the machine's load does to a thread per
   connection can be told from what Quillet adds. One detached thread per
   connection, the same waits (2 s before the query is read, 2 s after the
   reply), a USERID reply for the node the generator asks about, port 113 on
   every address with the longest accept queue the system allows. No caps,
   no log, no table. */
#include "loadgen.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
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

static void *Serve(void *arg)
{
    int fd = (int)(intptr_t)arg;
    SleepMs(WAIT_MS);
    pollfd p = {fd, POLLIN, 0};
    char query[1025];
    ssize_t n = poll(&p, 1, IDLE_MS) > 0 ? recv(fd, query, 1024, 0) : -1;
    if (n > 0) {
        query[n] = '\0';
        int local = 0, remote = 0;
        sscanf(query, "%d , %d", &local, &remote);
        char reply[128];
        int len = snprintf(reply, sizeof(reply), "%d,%d : USERID : UNIX : " BENCH_NAME_PREFIX "%d\r\n",
                           local, remote, local - BENCH_LOCAL_BASE);
        send(fd, reply, (size_t)len, MSG_NOSIGNAL);
        SleepMs(WAIT_MS);
    }
    close(fd);
    return nullptr;
}

int main(void)
{
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
