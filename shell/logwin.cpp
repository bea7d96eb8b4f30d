/* shell/logwin.cpp: the message log in the main window's message box. Any
   thread queues its texts; the window's thread appends them in batches at
   the end of the text, trims the oldest lines past the log's limit, and
   leaves the operator's selection and scroll position alone. */
#include "shell.h"

#include "../common/keptlog.h"
#include "../common/logqueue.h"
#include "../common/platform.h"

/* The most taken from the queue for one append. */
static const int LOG_BATCH_BYTES = 64 * 1024;

/* Batches appended for one wake-up before the window's other messages get
   their turn. */
static const int LOG_BATCHES_PER_WAKE = 4;

static char sBatch[LOG_BATCH_BYTES + 1];

static bool bOnWindowThread(void)
{
    return GetWindowThreadProcessId(hwndMSG1, nullptr) == GetCurrentThreadId();
}

static int VisibleLines(void)
{
    RECT r = {0, 0, 0, 0};
    SendMessageA(hwndMSG1, EM_GETRECT, 0, (LPARAM)&r);
    HDC dc = GetDC(hwndMSG1);
    HGDIOBJ old = SelectObject(dc, (HGDIOBJ)SendMessageA(hwndMSG1, WM_GETFONT, 0, 0));
    TEXTMETRICA tm;
    int height = GetTextMetricsA(dc, &tm) && tm.tmHeight > 0 ? tm.tmHeight : 16;
    SelectObject(dc, old);
    ReleaseDC(hwndMSG1, dc);
    int lines = (r.bottom - r.top) / height;
    return lines > 0 ? lines : 1;
}

/* Takes whole lines off the top once the text passes the limit, a large
   step at a time so that trimming is rare. Returns the characters taken
   and sets *lines to the lines taken. */
static int TrimLog(int *lines)
{
    *lines = 0;
    int len = GetWindowTextLengthA(hwndMSG1);
    if (len <= LOG_TEXT_LIMIT)
        return 0;
    int line = (int)SendMessageA(hwndMSG1, EM_LINEFROMCHAR, len - LOG_TEXT_KEEP, 0);
    int cut = (int)SendMessageA(hwndMSG1, EM_LINEINDEX, line + 1, 0);
    if (cut <= 0)
        return 0;
    SendMessageA(hwndMSG1, EM_SETSEL, 0, cut);
    SendMessageA(hwndMSG1, EM_REPLACESEL, 0, (LPARAM) "");
    *lines = line + 1;
    return cut;
}

static DWORD Shifted(DWORD pos, int trimmed)
{
    return pos > (DWORD)trimmed ? pos - (DWORD)trimmed : 0;
}

/* Appends text at the end, whatever the operator has selected. A caret at
   the end stays at the end, and a view that showed the end follows it;
   otherwise the selection and the view stay on the text they were on. */
static void AppendToLog(const char *text)
{
    DWORD selStart = 0, selEnd = 0;
    SendMessageA(hwndMSG1, EM_GETSEL, (WPARAM)&selStart, (LPARAM)&selEnd);
    int len = GetWindowTextLengthA(hwndMSG1);
    int visible = VisibleLines();
    int first = (int)SendMessageA(hwndMSG1, EM_GETFIRSTVISIBLELINE, 0, 0);
    int count = (int)SendMessageA(hwndMSG1, EM_GETLINECOUNT, 0, 0);
    bool bCaretAtEnd = selStart == (DWORD)len && selEnd == (DWORD)len;
    bool bShowsEnd = first + visible >= count;

    SendMessageA(hwndMSG1, EM_SETSEL, len, len);
    SendMessageA(hwndMSG1, EM_REPLACESEL, 0, (LPARAM)text);
    int trimmedLines;
    int trimmed = TrimLog(&trimmedLines);

    if (bCaretAtEnd) {
        len = GetWindowTextLengthA(hwndMSG1);
        SendMessageA(hwndMSG1, EM_SETSEL, len, len);
    } else {
        SendMessageA(hwndMSG1, EM_SETSEL, Shifted(selStart, trimmed), Shifted(selEnd, trimmed));
    }
    int want = first - trimmedLines;
    if (bShowsEnd)
        want = (int)SendMessageA(hwndMSG1, EM_GETLINECOUNT, 0, 0) - visible;
    if (want < 0)
        want = 0;
    int now = (int)SendMessageA(hwndMSG1, EM_GETFIRSTVISIBLELINE, 0, 0);
    if (want != now)
        SendMessageA(hwndMSG1, EM_LINESCROLL, 0, want - now);
}

/* Appends queued batches until the queue is empty, maxBatches have gone
   in, or the clock passes deadline (0: no deadline). 1 when it is empty. */
static int AppendQueued(int maxBatches, DWORD deadline)
{
    for (int i = 0; i < maxBatches; i++) {
        int len = LogQueueTake(sBatch, LOG_BATCH_BYTES);
        if (len == 0)
            return 1;
        sBatch[len] = '\0';
        AppendToLog(sBatch);
        if (deadline != 0 && (LONG)(GetTickCount() - deadline) >= 0)
            return 0;
    }
    return 0;
}

void MsgOut(const char *text)
{
    KeptLogPut(text);
    /* The service has no window: the kept log is its log. */
    if (bServiceMode)
        return;
    if (!bOnWindowThread()) {
        if (LogQueuePut(text))
            PostMessageA(GetParent(hwndMSG1), WM_LOGQUEUE, 0, 0);
        return;
    }
    /* On its own thread the window appends at once, after what the other
       threads queued before; at most a queue's worth, so that writers that
       keep queueing cannot hold it here. */
    AppendQueued(LOG_QUEUE_BYTES / LOG_BATCH_BYTES, 0);
    AppendToLog(text);
}

INT_PTR MsgLogQueue(void)
{
    if (!AppendQueued(LOG_BATCHES_PER_WAKE, 0))
        PostMessageA(GetParent(hwndMSG1), WM_LOGQUEUE, 0, 0);
    return 1;
}

void DrainLog(void)
{
    DWORD deadline = GetTickCount() + LOG_DRAIN_MS;
    AppendQueued(LOG_QUEUE_BYTES, deadline == 0 ? 1 : deadline);
}
