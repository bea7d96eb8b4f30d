/* tools/palaver-notify.cpp: plays Palaver's part. Looks the "quillet"
   service's notification port up from the host server and sends it one
   Connect or Quit record; or, as a board's client does, makes the user's
   connection to a chat server itself, registers it and holds it. */
#include "../common/platform.h"
#include "../notify/clientrec.h"
#include "../wcsrv/wcproto.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char USAGE[] =
    "usage: palaver-notify connect NODE REMOTE_PORT LOCAL_PORT NAME\n"
    "       palaver-notify quit NODE\n"
    "       palaver-notify hold NODE SERVER_ADDRESS REMOTE_PORT NAME [LOCAL_PORT [WAIT_MS]]\n"
    "\n"
    "Tells Quillet, through the notification port it registered with the host\n"
    "server on 127.0.0.1:%d, that the user NAME on board node NODE uses the\n"
    "connection from LOCAL_PORT on this host to REMOTE_PORT on the chat server\n"
    "(connect), or that the user on NODE has left (quit). Quillet takes a\n"
    "record only from the program that holds the connection it names (or,\n"
    "where the system will not say, from its account).\n"
    "\n"
    "hold connects to SERVER_ADDRESS:REMOTE_PORT (from LOCAL_PORT when given and\n"
    "not 0, which other programs that bind it so may share), sends NICK nodeNODE\n"
    "as a chat client begins, waits WAIT_MS (0),\n"
    "registers the connection as connect does, says so on standard output, and\n"
    "holds it until the server closes it or the program is ended.\n";

/* How long a sender holds its end after the record, for Quillet to read
   the record and close. */
static const int RECORD_HOLD_MS = 5000;

static int Usage(FILE *out, int status)
{
    fprintf(out, USAGE, WCSRV_PORT);
    return status;
}

/* Copies a decimal argument into a field, which must keep its NUL. */
static bool bPutNumber(char *field, size_t width, const char *what, const char *arg)
{
    char *end = nullptr;
    long value = strtol(arg, &end, 10);
    if (*arg == '\0' || *end != '\0' || value < 0 || strlen(arg) >= width) {
        fprintf(stderr, "palaver-notify: %s must be a number of at most %zu digits, not '%s'\n",
                what, width - 1, arg);
        return false;
    }
    memcpy(field, arg, strlen(arg));
    return true;
}

static bool bPutPort(char *field, size_t width, const char *what, const char *arg)
{
    if (!bPutNumber(field, width, what, arg))
        return false;
    if (atoi(arg) > 65535) {
        fprintf(stderr, "palaver-notify: %s must be a port from 0 to 65535, not '%s'\n", what, arg);
        return false;
    }
    return true;
}

static bool bPutName(ClientCrec *crec, const char *arg)
{
    if (strlen(arg) >= sizeof(crec->sName)) {
        fprintf(stderr, "palaver-notify: NAME must be at most %zu characters\n",
                sizeof(crec->sName) - 1);
        return false;
    }
    memcpy(crec->sName, arg, strlen(arg));
    return true;
}

/* A dotted IPv4 address. */
static bool bPutAddr(PAddr *addr, const char *arg)
{
    unsigned a, b, c, d;
    char end;
    if (sscanf(arg, "%u.%u.%u.%u%c", &a, &b, &c, &d, &end) != 4 || a > 255 || b > 255 || c > 255 ||
        d > 255) {
        fprintf(stderr, "palaver-notify: SERVER_ADDRESS must be an IPv4 address, not '%s'\n", arg);
        return false;
    }
    *addr = (PAddr)(a << 24 | b << 16 | c << 8 | d);
    return true;
}

/* Sends the record to Quillet's notification port and holds the
   connection until Quillet has read it and closed its end, so that Quillet
   can tell who sent it. 0, or 1 with a message. */
static int Send(const char *record, int size)
{
    int port = WcLookupServicePort("quillet");
    if (port < 0) {
        fprintf(stderr, "palaver-notify: no host server answers on 127.0.0.1:%d\n", WCSRV_PORT);
        return 1;
    }
    if (port == 0) {
        fprintf(stderr, "palaver-notify: the host server knows no service \"quillet\" "
                        "(is Quillet running?)\n");
        return 1;
    }
    PSocket s = PlatConnect(WCSRV_ADDR, port);
    if (s == PSOCKET_INVALID) {
        fprintf(stderr, "palaver-notify: can't connect to Quillet's notification port %d\n", port);
        return 1;
    }
    int sent = PlatSend(s, record, size);
    char rest;
    if (sent == size)
        PlatRecv(s, &rest, 1, RECORD_HOLD_MS);
    PlatClose(s);
    if (sent != size) {
        fprintf(stderr, "palaver-notify: the record could not be sent to port %d\n", port);
        return 1;
    }
    return 0;
}

/* hold NODE SERVER_ADDRESS REMOTE_PORT NAME [LOCAL_PORT [WAIT_MS]] */
static int Hold(int argc, char **argv)
{
    ClientCrec crec;
    memset(&crec, 0, sizeof(crec));
    crec.sKind[0] = 'C';
    PAddr server = 0;
    char from[8] = "0", wait[8] = "0";
    if (!bPutNumber(crec.sNode, sizeof(crec.sNode), "NODE", argv[2]) ||
        !bPutAddr(&server, argv[3]) ||
        !bPutPort(crec.sRemotePort, sizeof(crec.sRemotePort), "REMOTE_PORT", argv[4]) ||
        (argc >= 7 && !bPutPort(from, sizeof(from), "LOCAL_PORT", argv[6])) ||
        (argc == 8 && !bPutNumber(wait, sizeof(wait), "WAIT_MS", argv[7])) ||
        !bPutName(&crec, argv[5]))
        return 2;
    if (PlatSockStartup() != 0) {
        fprintf(stderr, "palaver-notify: the socket library would not start\n");
        return 1;
    }
    PSocket user = PlatConnect(server, atoi(crec.sRemotePort), atoi(from));
    if (user == PSOCKET_INVALID) {
        fprintf(stderr, "palaver-notify: can't connect to %s:%s\n", argv[3], crec.sRemotePort);
        return 1;
    }
    snprintf(crec.sLocalPort, sizeof(crec.sLocalPort), "%d", PlatLocalPort(user));
    /* A chat client begins its registration at once, and Wine names a
       socket's owning process only once the process has used it. */
    char nick[32];
    int len = snprintf(nick, sizeof(nick), "NICK node%s\r\n", crec.sNode);
    PlatSend(user, nick, len);
    PlatSleep(atoi(wait));
    int status = Send((const char *)&crec, sizeof(crec));
    if (status == 0) {
        printf("palaver-notify: node %s holds the connection from port %s to %s:%s\n", crec.sNode,
               crec.sLocalPort, argv[3], crec.sRemotePort);
        fflush(stdout);
        char buf[512];
        while (PlatRecv(user, buf, sizeof(buf), -1) > 0) {
        }
    }
    PlatClose(user);
    return status;
}

int main(int argc, char **argv)
{
    if (argc >= 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0))
        return Usage(stdout, 0);

    ClientCrec crec;
    ClientQrec qrec;
    memset(&crec, 0, sizeof(crec));
    memset(&qrec, 0, sizeof(qrec));
    const char *record;
    int size;
    if (argc == 6 && strcmp(argv[1], "connect") == 0) {
        crec.sKind[0] = 'C';
        if (!bPutNumber(crec.sNode, sizeof(crec.sNode), "NODE", argv[2]) ||
            !bPutPort(crec.sRemotePort, sizeof(crec.sRemotePort), "REMOTE_PORT", argv[3]) ||
            !bPutPort(crec.sLocalPort, sizeof(crec.sLocalPort), "LOCAL_PORT", argv[4]) ||
            !bPutName(&crec, argv[5]))
            return 2;
        record = (const char *)&crec;
        size = sizeof(crec);
    } else if (argc >= 6 && argc <= 8 && strcmp(argv[1], "hold") == 0) {
        return Hold(argc, argv);
    } else if (argc == 3 && strcmp(argv[1], "quit") == 0) {
        qrec.sKind[0] = 'Q';
        if (!bPutNumber(qrec.sNode, sizeof(qrec.sNode), "NODE", argv[2]))
            return 2;
        record = (const char *)&qrec;
        size = sizeof(qrec);
    } else {
        return Usage(stderr, 2);
    }

    return Send(record, size);
}
