/* common/waits.cpp: the waits of the shipped program. */
#include "waits.h"

/* IDENT peers are made to wait 2 s before the query is read and 2 s after
   each reply. */
const int iIdentWaitMs = IDENT_WAIT_MS;

const int iIdleTimeoutMs = IDLE_TIMEOUT_MS;
