/* bench/startup.cpp: quillet-startup, the start-up timer. Starts the
   program again and again with its log on a pipe and measures how long it
   takes to write the line that says the IDENT port is open. */
#include <algorithm>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

static const char READY_LINE[] = "- Started to Listen for IDENT Connections";
static const int MAX_RUNS = 1000;

static double NowMs(void)
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

/* One start; the time to the ready line in ms, or -1 when it never came. */
static double TimeOneStart(const char *program)
{
    int out[2];
    if (pipe(out) != 0)
        return -1;
    double t0 = NowMs();
    pid_t pid = fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        execl(program, program, (char *)nullptr);
        _exit(127);
    }
    close(out[1]);
    std::string log;
    double took = -1;
    char buf[4096];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof(buf))) > 0) {
        log.append(buf, (size_t)n);
        if (log.find(READY_LINE) != std::string::npos) {
            took = NowMs() - t0;
            break;
        }
    }
    kill(pid, SIGTERM);
    while (read(out[0], buf, sizeof(buf)) > 0) {
    }
    close(out[0]);
    waitpid(pid, nullptr, 0);
    return took;
}

int main(int argc, char **argv)
{
    if (argc != 3 || atoi(argv[2]) < 1 || atoi(argv[2]) > MAX_RUNS) {
        fprintf(stderr, "usage: quillet-startup PROGRAM RUNS\n"
                        "Starts PROGRAM RUNS times (at most %d), each time until it logs\n"
                        "\"%s\", and prints the times in ms.\n",
                MAX_RUNS, READY_LINE);
        return 2;
    }
    int runs = atoi(argv[2]);
    std::vector<double> times;
    for (int i = 0; i < runs; i++) {
        double t = TimeOneStart(argv[1]);
        if (t < 0) {
            fprintf(stderr, "quillet-startup: run %d never logged the ready line\n", i + 1);
            return 1;
        }
        times.push_back(t);
    }
    std::sort(times.begin(), times.end());
    printf("quillet-startup: %d starts, ms to the ready line: min %.2f  median %.2f  max %.2f\n",
           runs, times.front(), times[times.size() / 2], times.back());
    printf("RESULT mode=startup runs=%d startup_min_ms=%.2f startup_median_ms=%.2f "
           "startup_max_ms=%.2f\n",
           runs, times.front(), times[times.size() / 2], times.back());
    return 0;
}
