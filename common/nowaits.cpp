/* common/nowaits.cpp: the waits of the benchmark build, which measures how
   fast queries are answered: IDENT replies without the 2 s waits, silent
   connections dropped as in the shipped program. Never shipped. */
#include "../common/waits.h"

const int iIdentWaitMs = 0;

const int iIdleTimeoutMs = IDLE_TIMEOUT_MS;
