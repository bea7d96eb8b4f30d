/* tests/shell/shellprobe.h: what the window tests put in place of the
   shell's tray and of the service threads, and helpers that read the real
   window back. */
#ifndef QUILLET_SHELLPROBE_H
#define QUILLET_SHELLPROBE_H

#include "shell.h"

#include <string>
#include <vector>

/* One call of the shell's tray, with the record as the shell would read
   it: cbSize bytes, the rest zero. */
struct TrayCall {
    DWORD message;
    NOTIFYICONDATAA record;
};

extern std::vector<TrayCall> TrayCalls;

/* The window the services were given at start, and whether they were
   stopped. The stand-ins write nothing to the log. */
extern void *pServicesWindow;
extern bool bServicesStopped;

void ClearProbes(void);

/* The first top-level window of this process with the class and title
   given (null matches any), or null. ctest runs several window tests side
   by side on one display, so a plain FindWindow may find another test's
   box or menu. */
HWND FindOwnWindow(const char *windowClass, const char *title);

/* The whole message log, and the status bar's first part. */
std::string LogText(void);
std::string StatusText(void);

/* Takes the window's messages until every text queued for the log is in
   the box; false when ms pass first. */
bool PumpUntilLogged(int ms);

/* True, with the exit code, when a quit is waiting in this thread's queue;
   the quit is taken out. */
bool TakeQuit(int *code);

/* Runs fn on the window's thread every 50 ms while this thread is inside a
   modal loop, until fn returns true (it has acted). If the loop is still
   running 10 s after the start, timeout is called to end it. StopTicker
   returns true when fn acted and the loop ended in time. */
void StartTicker(bool (*fn)(void), void (*timeout)(void));
bool StopTicker(void);

#endif
