/* ident/identlisten.h: the IDENT port's listener. */
#ifndef QUILLET_IDENTLISTEN_H
#define QUILLET_IDENTLISTEN_H

#include "../common/platform.h"

#define IDENT_PORT 113
/* Chat servers ask about many users at once (after a netsplit, say). A
   connection that finds the accept queue full is dropped by the system and
   retried only a second or more later, then ever more slowly, so the queue is
   as long as the system allows. */
#define IDENT_BACKLOG PLAT_BACKLOG_MAX

/* Makes and binds port 113's socket now, for a program about to give up
   the privilege the port needs; IdentListen then uses it, and says at its
   place what failed. 0, or -1 when it failed. Before any thread starts. */
int BindIdentPortEarly(void);

/* Waits for the ready flag, opens port 113 and serves its connections on
   the IDENT loop (ident/identloop.h). Never returns unless the port can't
   be opened. The argument is the main window's handle, unused. */
void IdentListen(void *hwnd);

/* For the end of the process: the loop takes no more connections and
   closes, unanswered, those whose query it has not read; the others are
   answered to their close. Any thread; before the loop runs too. */
void StopIdentService(void);

/* IDENT connections held now (0 before the loop runs). */
int IdentServiceHeld(void);

#endif
