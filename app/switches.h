/* app/switches.h: the command line's switches, read the same way by both
   front ends. A switch is --name or --name=value, nothing else; anything
   else on the line is an error that ends the program at start. */
#ifndef QUILLET_SWITCHES_H
#define QUILLET_SWITCHES_H

/* Exit status for a command line that cannot be read. */
#define SWITCHES_BAD_STATUS 2

#include "../notify/winsconnect.h"

#define SWITCH_USER_SIZE 64
#define SWITCH_DIR_SIZE 260

struct Switches {
    int bTableOnly;   /* --table-only: answer from the node table alone */
    int bIrcNames;    /* --irc-names: answer with IRC-safe idents */
    int iWaitForHost; /* --wait-for-host[=SECONDS]: 0 off, HOST_WAIT_ALWAYS, or seconds */
    int iMaxIdent;    /* --max-ident=N: at most N IDENT connections at once (0: the system's) */
    char sUser[SWITCH_USER_SIZE];  /* --user=NAME: the account root gives up for ("" none) */
    char sLogDir[SWITCH_DIR_SIZE]; /* --log-dir=DIR: the kept log's folder ("" none) */
    int iLogDays;                  /* --log-days=N: days the kept log keeps (0: the default) */
    int bService; /* --service: quillet.exe as the service control manager starts it */
};

/* Reads the switches of argv[1..argc-1] into sw (everything off when none
   is given). 0, or -1 with the reason in error (size bytes). */
int ReadSwitches(int argc, const char *const *argv, Switches *sw, char *error, int size);

#endif
