/* win32/eventlog.cpp: start, stop, a port that cannot be opened and the
   host server lost and back, in the Application event log. */
#include "eventlog.h"

#include "../common/platform.h"
#include "messages.h"

#include <string.h>

EventReportFn EventReport = ReportEventA;

/* The source's handle, made by the first event and kept for the process.
   Threads that race to make it keep the first one made. */
static HANDLE EventSource(void)
{
    static HANDLE volatile source = nullptr;
    if (source == nullptr) {
        HANDLE made = RegisterEventSourceA(nullptr, QUILLET_EVENT_SOURCE);
        if (made != nullptr &&
            InterlockedCompareExchangePointer((PVOID volatile *)&source, made, nullptr) != nullptr)
            DeregisterEventSource(made);
    }
    return source;
}

void PlatEventLog(PlatEvent event, const char *text)
{
    static const struct {
        WORD type;
        DWORD id;
    } kinds[] = {
        {EVENTLOG_INFORMATION_TYPE, MSG_QUILLET_STARTED}, {EVENTLOG_INFORMATION_TYPE, MSG_QUILLET_STOPPED},
        {EVENTLOG_ERROR_TYPE, MSG_PORT_FAILED},           {EVENTLOG_WARNING_TYPE, MSG_HOST_LOST},
        {EVENTLOG_INFORMATION_TYPE, MSG_HOST_BACK},      {EVENTLOG_WARNING_TYPE, MSG_SERVICE_REFUSED},
        {EVENTLOG_ERROR_TYPE, MSG_QUILLET_FAILED},
    };
    if ((unsigned)event >= sizeof(kinds) / sizeof(kinds[0]))
        return;
    /* The message's own text ends the line; the log's line endings would
       show as blank lines in the Event Viewer. */
    char line[512];
    size_t len = strlen(text);
    while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r'))
        len--;
    if (len >= sizeof(line))
        len = sizeof(line) - 1;
    memcpy(line, text, len);
    line[len] = '\0';
    LPCSTR texts[1] = {line};
    HANDLE source = EventSource();
    if (source != nullptr)
        EventReport(source, kinds[event].type, 0, kinds[event].id, nullptr, 1, 0, texts, nullptr);
}
