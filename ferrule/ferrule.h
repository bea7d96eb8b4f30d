/* ferrule/ferrule.h: the ferrule library's four exports, for programs that
   load ferrule.dll or libferrule.so and call it. Plain C, C calling
   convention. */
#ifndef FERRULE_H
#define FERRULE_H

/* Callers built with another default convention (MSVC /Gz, /Gr) still call
   the exports the way they were built. */
#if defined(_WIN32) && !defined(_WIN64)
#define FERRULE_CALL __cdecl
#else
#define FERRULE_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The library's version number: always 1. */
int FERRULE_CALL _qvGetDLLVersion(void);

/* 1 when text is acceptable as an IRC channel name (at least two characters,
   the first "#" or "&"), else 0. A null text gives 0. */
int FERRULE_CALL _qvIRC_bValidChannelName(const char *text);

/* 1 when text is acceptable as an IRC server name (at least three
   characters, at least one "." anywhere), else 0. A null text gives 0. */
int FERRULE_CALL _qvIRC_bValidServerName(const char *text);

/* Copies count bytes from source to dest, running away from any overlap, so
   that dest ends up holding what source held before the call, as memmove
   does. A count of 0 or less writes nothing. */
void FERRULE_CALL _qvMemCpy(void *dest, const void *source, int count);

/* Types of the four exports, for dlsym and GetProcAddress callers. */
typedef int(FERRULE_CALL *qvGetDLLVersionProc)(void);
typedef int(FERRULE_CALL *qvValidNameProc)(const char *text);
typedef void(FERRULE_CALL *qvMemCpyProc)(void *dest, const void *source, int count);

#ifdef __cplusplus
}
#endif

#endif
