/* common/waits.h: the service's fixed waits. They are defined in
   common/waits.cpp; the test build links shorter ones in its place. */
#ifndef QUILLET_WAITS_H
#define QUILLET_WAITS_H

/* Wait before an IDENT query is read, and after each reply is sent. */
extern const int iIdentWaitMs;

/* How long a connection may stay silent before it is dropped. */
extern const int iIdleTimeoutMs;

#endif
