/* wcsrv/wcsrvd.cpp: a stand-in for the board's host server. It hands out the
   system's name and registration string, takes service registrations and
   answers look-ups of a service's port, on 127.0.0.1 at WCSRV_PORT. */
#include "wcproto.h"

#include <map>
#include <mutex>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <thread>
#include <unistd.h>

static const char USAGE[] =
    "usage: wcsrvd [--name TEXT] [--regstring TEXT] [--fail-makewild] [--fail-context]\n"
    "              [--fail-register] [--hang] [--drop-after-hello] [--bad-makewild]\n"
    "\n"
    "Stand-in host server for Quillet on 127.0.0.1:%d.\n"
    "  --name TEXT       system name handed out (default: this machine's host name)\n"
    "  --regstring TEXT  registration string handed out (default: \"Unregistered\")\n"
    "  --fail-makewild   refuse the configuration record (GetMakewild fails)\n"
    "  --fail-context    refuse to create a context (WildcatServerCreateContext fails)\n"
    "  --fail-register   refuse every registration (RegisterService fails)\n"
    "  --hang            accept connections and never answer\n"
    "  --drop-after-hello  answer the greeting, then close the connection\n"
    "  --bad-makewild    answer the configuration request without its registration field\n"
    "Each registration is printed on standard output. SIGINT or SIGTERM stops it.\n";

static std::string sName;
static std::string sRegString = "Unregistered";
static bool bFailMakewild = false;
static bool bFailContext = false;
static bool bFailRegister = false;
static bool bHang = false;
static bool bDropAfterHello = false;
static bool bBadMakewild = false;

static std::mutex ServicesLock;
static std::map<std::string, int> Services;

static bool bPlainText(const std::string &text)
{
    return text.find_first_of("\t\r\n") == std::string::npos && text.size() < 200;
}

/* One answer for one request line. */
static std::string Answer(char *request)
{
    char *f[6];
    int n = WcSplit(request, f, 6);
    if (strcmp(f[0], "HELLO") == 0)
        return "OK";
    if (strcmp(f[0], "MAKEWILD") == 0 && bBadMakewild)
        return "OK\t" + sName;
    if (strcmp(f[0], "MAKEWILD") == 0)
        return bFailMakewild ? "ERR" : "OK\t" + sName + "\t" + sRegString;
    if (strcmp(f[0], "CONTEXT") == 0)
        return bFailContext ? "ERR" : "OK";
    if (strcmp(f[0], "REGISTER") == 0 && bFailRegister)
        return "ERR";
    if (strcmp(f[0], "REGISTER") == 0 && n == 5) {
        {
            std::lock_guard<std::mutex> hold(ServicesLock);
            Services[f[1]] = atoi(f[4]);
        }
        printf("registered service \"%s\" vendor \"%s\" version %d port %d\n", f[1], f[2],
               atoi(f[3]), atoi(f[4]));
        fflush(stdout);
        return "OK";
    }
    if (strcmp(f[0], "LOOKUP") == 0 && n == 2) {
        std::lock_guard<std::mutex> hold(ServicesLock);
        auto it = Services.find(f[1]);
        return it == Services.end() ? "ERR" : "OK\t" + std::to_string(it->second);
    }
    return "ERR";
}

static void Serve(PSocket s)
{
    /* A client keeps its connection for as long as it lives. */
    char line[WCSRV_LINE_MAX];
    if (bHang) {
        /* Takes what the client sends and answers nothing until it leaves. */
        while (PlatRecv(s, line, sizeof(line), -1) > 0) {
        }
        PlatClose(s);
        return;
    }
    while (WcRecvLine(s, line, -1) == 0 && WcSendLine(s, Answer(line).c_str()) == 0) {
        if (bDropAfterHello && strcmp(line, "HELLO") == 0)
            break;
    }
    PlatClose(s);
}

static int Usage(FILE *out, int status)
{
    fprintf(out, USAGE, WCSRV_PORT);
    return status;
}

int main(int argc, char **argv)
{
    char host[256] = "";
    gethostname(host, sizeof(host) - 1);
    sName = host;
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h")
            return Usage(stdout, 0);
        if ((arg == "--name" || arg == "--regstring") && i + 1 < argc) {
            std::string value = argv[++i];
            if (!bPlainText(value)) {
                fprintf(stderr,
                        "wcsrvd: %s takes a text of fewer than 200 characters "
                        "without tabs or line breaks\n",
                        arg.c_str());
                return 2;
            }
            (arg == "--name" ? sName : sRegString) = value;
        } else if (arg == "--fail-makewild") {
            bFailMakewild = true;
        } else if (arg == "--fail-context") {
            bFailContext = true;
        } else if (arg == "--fail-register") {
            bFailRegister = true;
        } else if (arg == "--hang") {
            bHang = true;
        } else if (arg == "--drop-after-hello") {
            bDropAfterHello = true;
        } else if (arg == "--bad-makewild") {
            bBadMakewild = true;
        } else {
            fprintf(stderr, "wcsrvd: unknown or incomplete option '%s'\n", arg.c_str());
            return Usage(stderr, 2);
        }
    }

    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    /* PlatBind sets SO_REUSEADDR, so that a restarted stand-in gets its port
       back at once. */
    PSocket listener = PlatTcpSocket();
    if (listener == PSOCKET_INVALID || PlatBind(listener, WCSRV_ADDR, WCSRV_PORT) != 0 ||
        PlatListen(listener, 64) != 0) {
        fprintf(stderr, "wcsrvd: can't listen on 127.0.0.1:%d: %s\n", WCSRV_PORT,
                strerror(PlatLastError()));
        return 1;
    }
    printf("wcsrvd: serving system \"%s\" on 127.0.0.1:%d\n", sName.c_str(), WCSRV_PORT);
    fflush(stdout);

    std::thread([listener] {
        for (;;) {
            PSocket s = PlatAccept(listener, nullptr, nullptr);
            if (s == PSOCKET_INVALID) {
                PlatSleep(100);
                continue;
            }
            std::thread(Serve, s).detach();
        }
    }).detach();

    int sig = 0;
    sigwait(&stopSignals, &sig);
    printf("wcsrvd: stopped\n");
    fflush(stdout);
    PlatExit(0);
    return 0;
}
