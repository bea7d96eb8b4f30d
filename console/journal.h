/* console/journal.h: the console program's log as systemd's journal takes
   it. When standard output is the journal's stream, each line starts with
   its syslog priority, so that `journalctl -p warning` finds failures and
   warnings; anywhere else the output is left exactly as it is. */
#ifndef QUILLET_JOURNAL_H
#define QUILLET_JOURNAL_H

/* 1 when JOURNAL_STREAM names standard output's device and inode (not
   merely set: a program started under systemd with its output redirected
   keeps its exact output). */
int bStdoutIsJournal(void);

/* The syslog priority of a log line: 3 for a failure, 4 for a warning (a
   refused record or peer, a connection closed unanswered), 6 for the
   rest. */
int LogPriority(const char *line);

#endif
