/* app/switches.h: the command line's switches, read the same way by both
   front ends. A switch is --name or --name=value, nothing else; anything
   else on the line is an error that ends the program at start. */
#ifndef QUILLET_SWITCHES_H
#define QUILLET_SWITCHES_H

/* Exit status for a command line that cannot be read. */
#define SWITCHES_BAD_STATUS 2

struct Switches {
    int bTableOnly; /* --table-only: answer from the node table alone */
    int bIrcNames;  /* --irc-names: answer with IRC-safe idents */
};

/* Reads the switches of argv[1..argc-1] into sw (everything off when none
   is given). 0, or -1 with the reason in error (size bytes). */
int ReadSwitches(int argc, const char *const *argv, Switches *sw, char *error, int size);

#endif
