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

/* Connects to the host server, registers the service with the notification
   port, sets the ready flag and serves notifications for ever (returns only
   when the port could not be opened). Ends the process when the host server
   can't be reached. hwnd is the main window. */
void WINSConnect(void *hwnd);

#endif
