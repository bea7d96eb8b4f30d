/* common/waits.h: the service's fixed waits. Each program links exactly one
   definition of the two values, chosen when it is linked:
     the shipped program, test_identwait and the fault scenarios:
       common/waits.cpp, the shipped values below;
     the unit tests (test_core): tests/support/quickwaits.cpp, short waits
       so that handler tests run in milliseconds;
     the benchmark build (CMake option QUILLET_NO_IDENT_WAITS):
       common/nowaits.cpp, no IDENT waits and the shipped idle drop.
   CMake's quillet_waits object library holds the first or the last. */
#ifndef QUILLET_WAITS_H
#define QUILLET_WAITS_H

/* The shipped values. */
#define IDENT_WAIT_MS 2000
#define IDLE_TIMEOUT_MS 60000

/* Wait before an IDENT query is read, and after each reply is sent. */
extern const int iIdentWaitMs;

/* How long a connection may stay silent before it is dropped. */
extern const int iIdleTimeoutMs;

#endif
