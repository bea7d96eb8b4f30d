/* tests/support/testsupport.h: what the test seams offer the tests. */
#ifndef QUILLET_TESTSUPPORT_H
#define QUILLET_TESTSUPPORT_H

#include "../../common/platform.h"

#include <string>

/* Everything MsgOut was given since the last ClearLog, in order. */
std::string CapturedLog(void);
std::string CapturedUserErr(void);
void ClearLog(void);

/* Waits up to ms for the log to contain text; true when it does. */
bool WaitForLog(const std::string &text, int ms);

/* A listening socket on 127.0.0.1 at a port the system picks. */
PSocket ListenLoopback(int *port);

/* Connects to 127.0.0.1:port; the test fails when it can't. */
PSocket ConnectLoopback(int port);

/* Reads until the peer closes or ms pass; the bytes read. closedAfterMs,
   when given, receives the milliseconds from the call to the peer's close,
   or -1 when the peer had not closed by then. */
std::string ReadAll(PSocket s, int ms, int *closedAfterMs = nullptr);

/* Accepts one connection on listener and runs handler on it on a thread of
   its own, as the services do. */
void ServeOne(PSocket listener, void (*handler)(void *));

/* A Connect record and a Quit record, with each text in its field. */
std::string MakeConnect(const char *node, const char *remote, const char *local, const char *name);
std::string MakeQuit(const char *node);

#endif
