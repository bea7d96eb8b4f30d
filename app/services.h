/* app/services.h: bringing the two services up, shared by both front ends
   so that they start in the same order. */
#ifndef QUILLET_SERVICES_H
#define QUILLET_SERVICES_H

/* Zeroes the counters and clears the node table. Before any thread starts. */
void ResetServices(void);

/* The log's first two lines, the same on both front ends: the title and
   that the server is up. Once the log can take lines, before any other. */
void SayStarted(void);

struct Switches;

/* With --log-dir, starts the kept log (common/keptlog.h), before the first
   line it should keep. */
void StartKeptLog(const Switches *sw);

/* Clears the ready flag, sets the caps on handlers from the system's
   limits and the way queries are answered from the switches, then starts
   the host server link and the IDENT listener, in that order, each given
   the main window's handle. */
void StartServices(void *hwnd, const Switches *sw);

/* Before the process ends: no handler starts any more, the IDENT loop
   takes no more connections and closes, unanswered, those still waiting
   for their query, and the handlers and IDENT connections at work are
   given at most ms to be done. How many were not. */
int StopServices(int ms);

#endif
