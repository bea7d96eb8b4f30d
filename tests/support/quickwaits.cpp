/* tests/support/quickwaits.cpp: short waits, so that handler tests run in
   milliseconds. The real ones are tested in a program of their own. */
#include "../../common/waits.h"

const int iIdentWaitMs = 20;
const int iIdleTimeoutMs = 1000;
