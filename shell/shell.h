/* shell/shell.h: the Windows front end's state and operations: the main
   window with its message log and status bar, the tray icon and its menu,
   and the About box. Everything here runs on the window's thread except
   MsgOut and UserErr, which any thread may call. */
#ifndef QUILLET_SHELL_H
#define QUILLET_SHELL_H

#include <windows.h>
#include <shellapi.h>

#include "../app/switches.h"

/* The tray icon's callback message. */
#define WM_TRAYICON (WM_USER + 1)

/* The tray record in its first, smallest form (88 bytes on 32-bit Windows),
   which every shell since Windows 95 reads. */
#define TRAY_RECORD_SIZE NOTIFYICONDATAA_V1_SIZE

/* The tray tip holds at most this many characters and a NUL. */
#define TRAY_TIP_CHARS 63

/* ---- Main window (mainwin.cpp) ---- */

extern HINSTANCE ghInstance;
extern HWND g_hWnd;   /* null until CreateDialogParamA returns */
extern HWND hwndMSG1; /* the message box; read by every thread */
extern HWND hwndStatusBar;
extern int aWidths[2];                   /* right edges of the status bar's parts */
extern float x_proportion, y_proportion; /* pixels per dialog unit */
extern RECT actualDialogRect, actualEditRect;
extern int iMsgXBorder, iMsgYBorder;
extern HICON g_hIcon;
extern Switches g_switches; /* read by WinMain, before the window exists */

/* Creates the main window, which starts the services, puts the tray icon up
   and hides the window. The window, or null when it could not be made. */
HWND StartUp(HINSTANCE instance);

/* Runs the message loop until a quit command. */
void MessageLoop(void);

/* Takes the icon down, frees it and the tray menu, and stops the services'
   handlers (app/services.h), so that the process ends with every thread
   at rest. */
void ShutDown(void);

INT_PTR CALLBACK MainDialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

/* ---- The Statistics group's counts (stats.cpp) ---- */

extern const UINT STATS_REFRESH_MS;

/* Shows the counts and starts the timer that keeps them current. */
void StartStatistics(HWND hwnd);

/* Writes each count that changed since the last call into its field. */
void RefreshStatistics(HWND hwnd);

/* The edit control beside "Client Connects". */
HWND FindConnectsField(HWND hwnd);

/* ---- The message log (logwin.cpp) ---- */

/* Posted to the main window when texts wait in the log's queue. */
#define WM_LOGQUEUE (WM_APP + 1)

/* The log keeps the newest text up to this many characters; past it the
   oldest lines go, down to LOG_TEXT_KEEP, so that a board running for
   months holds a bounded log and appends stay quick. */
#define LOG_TEXT_LIMIT (1024 * 1024)
#define LOG_TEXT_KEEP (768 * 1024)

/* Appends what waits in the queue; the main window's WM_LOGQUEUE. */
INT_PTR MsgLogQueue(void);

/* Appends what is still queued, within the time the end of the process
   allows; on the window's thread at shut-down. */
void DrainLog(void);

/* ---- Layout arithmetic (layout.cpp) ---- */

/* Pixels per dialog unit, from the reference rectangle 4, 12, 242, 388 as
   MapDialogRect turned it into pixels. */
void MeasureProportions(const RECT *mapped, float *xProportion, float *yProportion);

/* Where the message box goes in a client area of w x h pixels: left, top,
   width and height. */
void LayoutMsgBox(int w, int h, float xProportion, float yProportion, int xBorder, int yBorder,
                  int box[4]);

/* ---- Tray icon, popup menu and About box (tray.cpp) ---- */

extern NOTIFYICONDATAA g_nid;
extern HMENU g_hMenu, g_hPopup;

/* Puts the tray icon up with the given tip (cut to TRAY_TIP_CHARS). */
void TaskBarIconAdd(HICON icon, const char *text);

/* Hides the main window to the tray, and shows it again from there. */
void HideToTray(void);
void RestoreFromTray(void);

/* The icon's popup menu at the cursor; returns when it closes. */
void TrayMenu(HWND hwnd);

/* The About box, modal, owned by the main window. */
void AboutBox(void);

INT_PTR CALLBACK AboutDlgProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

/* ---- One Quillet per host (oneinstance.cpp) ---- */

/* Takes the host's instance mutex. Before anything else in WinMain. */
enum InstanceClaim {
    INSTANCE_CLAIMED, /* this copy holds it and may run */
    INSTANCE_TAKEN,   /* another copy holds it */
    INSTANCE_SQUATTED /* a program that is no Quillet holds the name: run */
};
InstanceClaim ClaimInstance(void);

/* Lets a new copy start; for a copy that is ending. */
void ReleaseInstance(void);

/* 1 when another quillet.exe runs that is not the service's window: a copy
   that serves without the mutex, or holds it in its own session only. */
int bOtherQuilletRuns(void);

/* As bOtherQuilletRuns, for the service's start: a copy seen starting may
   yet mark itself as the service's window or end as a second copy, so only
   one still there and unmarked after graceMs counts. */
int bOtherQuilletStays(DWORD graceMs);

/* Marks this process as the service's window, which serves nothing. */
void MarkViewer(void);

/* Brings the running copy's window up from the tray. */
void ShowRunningInstance(void);

/* ---- The service (service.cpp) and its window (viewer.cpp) ---- */

/* The name the service is registered under. */
extern const char QUILLET_SERVICE_NAME[];

/* 1 while quillet.exe runs as the service: no window, no box. */
extern int bServiceMode;

/* 1 while quillet.exe is the running service's window: it serves nothing. */
extern int bViewerMode;

/* 1 when the service runs or is starting. */
int bServiceServes(void);

/* The kept log's folder when no --log-dir is given to the service, into
   dir (size bytes): under the common application data folder. 0, or -1. */
int DefaultLogDir(char *dir, int size);

/* The --log-dir of a service's command line (its image path), read as the
   service reads its switches, into dir (size bytes); "" without one. 0, or
   -1 when the line cannot be read. */
int ServiceLogDir(const char *command, char *dir, int size);

/* The window as the service's: its log of the day so far, then as it
   grows, and its state, looked at on a timer (IDT_VIEWER). */
void StartViewer(HWND hwnd);
void ViewerTick(HWND hwnd);

/* quillet.exe --service: hands the process to the service control
   manager, which runs the service until it is stopped; the exit status.
   Started by hand, it says that only the manager starts it, with status 2. */
int RunService(void);

/* ---- The box shown before the program ends (fatalbox.cpp) ---- */

/* How long the box stays up unless the user closes it first. */
extern const UINT FATAL_BOX_CLOSE_MS;

/* Shows text in a message box titled "Quillet" with an OK button that
   closes itself after closeAfterMs; the box's result. FatalErr shows it for
   FATAL_BOX_CLOSE_MS. */
int FatalBox(const char *text, UINT closeAfterMs);

/* ---- The shell's tray call (traycall.cpp) ---- */

/* Shell_NotifyIconA; the window tests link a recorder in its place. */
BOOL TrayNotify(DWORD message, NOTIFYICONDATAA *data);

#endif
