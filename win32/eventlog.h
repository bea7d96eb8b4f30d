/* win32/eventlog.h: the Application event log's one call, through a
   pointer that tests replace with a recorder (Wine takes the call and
   shows nothing back). */
#ifndef QUILLET_EVENTLOG_H
#define QUILLET_EVENTLOG_H

#include <windows.h>

/* The event source the installer registers, with quillet.exe as its
   message file. */
#define QUILLET_EVENT_SOURCE "Quillet"

typedef BOOL(WINAPI *EventReportFn)(HANDLE source, WORD type, WORD category, DWORD id, PSID user,
                                    WORD strings, DWORD dataSize, LPCSTR *texts, LPVOID data);

/* ReportEventA, unless a test has put its recorder here. */
extern EventReportFn EventReport;

#endif
