/* wcsrv/wcproto.h: the line protocol between the host library stand-in,
   the stand-in host server wcsrvd and the tools. One request line, one
   answer line, fields separated by tabs:

     HELLO                               -> OK
     MAKEWILD                            -> OK <tab> name <tab> regstring | ERR
     CONTEXT                             -> OK | ERR
     REGISTER <tab> name <tab> vendor <tab> version <tab> port   -> OK | ERR
     LOOKUP <tab> name                   -> OK <tab> port | ERR
*/
#ifndef WCPROTO_H
#define WCPROTO_H

#include "../common/platform.h"

/* The host server listens on loopback at this fixed port. */
#define WCSRV_PORT 7113
#define WCSRV_ADDR 0x7F000001u
#define WCSRV_LINE_MAX 512

/* Sends one line (a newline is added). 0 on success. */
int WcSendLine(PSocket s, const char *line);

/* Receives one line without its newline into line (WCSRV_LINE_MAX bytes),
   waiting at most timeoutMs for each byte (< 0: without limit). 0 on
   success, -1 when the peer closed, time ran out or the line is too long. */
int WcRecvLine(PSocket s, char *line, int timeoutMs);

/* Answers come promptly from a local server; this only guards against a
   server that hangs. */
#define WCSRV_TIMEOUT_MS 10000

/* Splits line at tabs in place; returns the number of fields (at most max). */
int WcSplit(char *line, char **fields, int max);

/* Asks the host server for the port of a registered service: the port, or
   0 when the service is unknown, or -1 when the host server can't be
   reached. */
int WcLookupServicePort(const char *name);

#endif
