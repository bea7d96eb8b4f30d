/* notify/winsconnect.h: the link to the host server. */
#ifndef QUILLET_WINSCONNECT_H
#define QUILLET_WINSCONNECT_H

#define SERVICE_NAME "quillet"
#define SERVICE_VENDOR "Tarnwell, New Zealand"
#define SERVICE_VERSION 1
#define SYS_TEXT_SIZE 129 /* the host's texts are kept to 128 characters */

/* The host system's name and registration string, once read. */
extern char sSys_BBSName[SYS_TEXT_SIZE];
extern char sSys_RegString[SYS_TEXT_SIZE];

/* How long the link waits for a host server it cannot reach: not at all
   (0: the process ends), for ever (HOST_WAIT_ALWAYS), or seconds, after
   which the process ends as without waiting. Waiting, it also watches the
   host and registers again when the host server comes back from having
   gone. Called before WINSConnect starts. */
#define HOST_WAIT_ALWAYS (-1)
void SetWaitForHost(int seconds);

/* 1 once a try to reach the host server has failed and the link waits for
   it, as SetWaitForHost allows. */
int bWaitingForHost(void);

/* Connects to the host server, registers the service with the notification
   port, sets the ready flag and serves notifications for ever (returns only
   when the port could not be opened). Ends the process when the host server
   can't be reached (see SetWaitForHost). hwnd is the main window. */
void WINSConnect(void *hwnd);

#endif
