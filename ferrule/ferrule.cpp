/* ferrule/ferrule.cpp: the ferrule library, a version query, an overlap-safe
   byte copy and two checks on IRC channel and server names for programs
   that load it. It holds no state. */
#include "ferrule.h"
#include "../common/textutil.h"

#include <stdint.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
#endif

/* Everything else is built hidden; the .def file names the exports on
   Windows. */
#ifdef _WIN32
#define FERRULE_EXPORT
#else
#define FERRULE_EXPORT __attribute__((visibility("default")))
#endif

/* StrPos looks at positions 0 to 32766 only (its positions are 16 bits). */
static const size_t STRPOS_REACH = 32767;

extern "C" {

FERRULE_EXPORT int FERRULE_CALL _qvGetDLLVersion(void)
{
    return 1;
}

FERRULE_EXPORT int FERRULE_CALL _qvIRC_bValidChannelName(const char *text)
{
    if (text == NULL || strlen(text) < 2)
        return 0;
    return text[0] == '#' || text[0] == '&' ? 1 : 0;
}

FERRULE_EXPORT int FERRULE_CALL _qvIRC_bValidServerName(const char *text)
{
    if (text == NULL)
        return 0;
    size_t iLen = strlen(text);
    if (iLen < 3)
        return 0;
    if (StrPos(text, ".") != -1)
        return 1;
    /* A longer name is searched on past StrPos's reach, so that a dot counts
       wherever it stands, as it does in a shorter name. */
    if (iLen > STRPOS_REACH && memchr(text + STRPOS_REACH, '.', iLen - STRPOS_REACH) != NULL)
        return 1;
    return 0;
}

FERRULE_EXPORT void FERRULE_CALL _qvMemCpy(void *dest, const void *source, int count)
{
    unsigned char *d = (unsigned char *)dest;
    const unsigned char *s = (const unsigned char *)source;
    /* Copying away from the overlap reads every source byte before it can
       be overwritten. */
    if ((uintptr_t)d < (uintptr_t)s) {
        for (int i = 0; i < count; i++)
            d[i] = s[i];
    } else {
        for (int i = count; i > 0; i--)
            d[i - 1] = s[i - 1];
    }
}

#ifdef _WIN32
/* Nothing to set up or release, so no reason code is refused. */
BOOL WINAPI DllMain(HINSTANCE hinstDLL, DWORD dwReason, LPVOID lpReserved)
{
    (void)hinstDLL;
    (void)dwReason;
    (void)lpReserved;
    return TRUE;
}
#endif

} /* extern "C" */
