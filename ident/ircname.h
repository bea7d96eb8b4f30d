/* ident/ircname.h: names every chat server keeps. Chat servers cut, change
   or refuse idents that are not short runs of letters and digits, each in
   its own way; with --irc-names a user is answered with an ident of at most
   10 ASCII letters and digits, the same on every network and after every
   restart, and never the same as another user's online. */
#ifndef QUILLET_IRCNAME_H
#define QUILLET_IRCNAME_H

#include <atomic>

#define IRC_IDENT_MAX 10
#define IRC_IDENT_SIZE (IRC_IDENT_MAX + 1)

/* Whether users are answered with these idents (--irc-names): set once at
   start, before any handler runs (InitIdentAnswers). */
extern std::atomic<int> bIrcNames;

/* Letters and digits of the name kept before the suffix, and the suffix's
   length: the last base-36 digits of the name's FNV-1a hash. */
#define IRC_IDENT_KEEP 7
#define IRC_SUFFIX_LEN 3

/* Why a name may be refused or cut by some chat server: a sum of these, 0
   when it is safe (1 to 10 ASCII letters and digits). */
#define IRC_HAS_BLANK 1
#define IRC_HAS_OTHER 2 /* a character other than a letter, digit or blank */
#define IRC_TOO_LONG 4  /* more than IRC_IDENT_MAX characters */
int IrcNameFaults(const char *name);

/* The faults as the log names them, joined by ", ", into why
   (IRC_FAULTS_TEXT_SIZE bytes): "a blank, more than 10 characters". */
#define IRC_FAULTS_TEXT_SIZE 96
void IrcFaultsText(int faults, char *why);

/* The ident for name, into ident (IRC_IDENT_SIZE bytes): the name itself
   when it is safe and counter is 0; otherwise its first letters and digits,
   cut to 7, then 3 characters of the FNV-1a hash of its bytes followed by
   counter's digits (none when counter is 0). Empty when the name holds no
   letter or digit. */
void IrcIdent(const char *name, int counter, char *ident);

/* The ident for name among the users online (count of them, their names
   and idents): the ident of an online user of the same name, else the
   first of IrcIdent's counters 0, 1, ... whose ident no online user holds,
   compared without regard to case, as bans are. The counter used (0 when
   there was no clash) goes to *counter. */
void IrcIdentAmong(const char *name, int count, const char *const *names, const char *const *idents,
                   char *ident, int *counter);

#endif
