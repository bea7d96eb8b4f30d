/* tools/palaver-notify.cpp: plays Palaver's part. Looks the "quillet"
   service's notification port up from the host server and sends it one
   Connect or Quit record. */
#include "../common/platform.h"
#include "../notify/clientrec.h"
#include "../wcsrv/wcproto.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char USAGE[] =
    "usage: palaver-notify connect NODE REMOTE_PORT LOCAL_PORT NAME\n"
    "       palaver-notify quit NODE\n"
    "\n"
    "Tells Quillet, through the notification port it registered with the host\n"
    "server on 127.0.0.1:%d, that the user NAME on board node NODE uses the\n"
    "connection from LOCAL_PORT on this host to REMOTE_PORT on the chat server\n"
    "(connect), or that the user on NODE has left (quit).\n";

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
            !bPutPort(crec.sLocalPort, sizeof(crec.sLocalPort), "LOCAL_PORT", argv[4]))
            return 2;
        if (strlen(argv[5]) >= sizeof(crec.sName)) {
            fprintf(stderr, "palaver-notify: NAME must be at most %zu characters\n",
                    sizeof(crec.sName) - 1);
            return 2;
        }
        memcpy(crec.sName, argv[5], strlen(argv[5]));
        record = (const char *)&crec;
        size = sizeof(crec);
    } else if (argc == 3 && strcmp(argv[1], "quit") == 0) {
        qrec.sKind[0] = 'Q';
        if (!bPutNumber(qrec.sNode, sizeof(qrec.sNode), "NODE", argv[2]))
            return 2;
        record = (const char *)&qrec;
        size = sizeof(qrec);
    } else {
        return Usage(stderr, 2);
    }

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
    PlatClose(s);
    if (sent != size) {
        fprintf(stderr, "palaver-notify: the record could not be sent to port %d\n", port);
        return 1;
    }
    return 0;
}
