/* shell/resource.h: the identifiers of the window program's resources and
   controls, shared by quillet.rc and the window code. */
#ifndef QUILLET_RESOURCE_H
#define QUILLET_RESOURCE_H

/* Controls that nothing addresses. */
#define IDC_STATIC (-1)

/* Icons */
#define IDI_QUILLET 127

/* Dialogs */
#define IDD_ABOUT 100
#define IDD_MAIN 101

/* Controls of the main window */
#define IDC_MAIN_QUIT 106
#define IDC_MAIN_STATS 107
#define IDC_MAIN_ABOUT 116
#define IDC_MAIN_MSG 122
#define IDC_MAIN_HIDE 128
#define IDC_MAIN_STATUS 1007
#define IDC_MAIN_HELP 1008
#define IDC_MAIN_CONNECTS 1009 /* the caption and the field beside it */
#define IDC_MAIN_QUITS 1010
#define IDC_MAIN_REQUESTS 1011
#define IDC_MAIN_QUITS_FIELD 1017    /* the count beside "Client Quits" */
#define IDC_MAIN_REQUESTS_FIELD 1018 /* the count beside "Server Requests" */

/* Timers of the main window */
#define IDT_MAIN_STATS 107 /* numbered as the group it refreshes */
#define IDT_VIEWER 108     /* the service's log and state, in its window */

/* The About box's only control with a number of its own is IDOK. */

/* Menus: the tray icon's popup menu has the same number as the icon. */
#define IDM_TRAY 1014
#define IDM_TRAY_RESTORE 1012
#define IDM_TRAY_QUIT 1013
#define IDM_TRAY_ABOUT 1016

#endif
