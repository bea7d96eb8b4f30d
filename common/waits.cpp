/* common/waits.cpp: the waits of the shipped program. */
#include "waits.h"

/* IDENT peers are made to wait 2 s before the query is read and 2 s after
   each reply. A build for measuring pure throughput may set them to zero. */
#ifdef QUILLET_NO_IDENT_WAITS
const int iIdentWaitMs = 0;
#else
const int iIdentWaitMs = 2000;
#endif

const int iIdleTimeoutMs = 60000;
