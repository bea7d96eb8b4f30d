/* common/textutil.h: small helpers over NUL-terminated 8-bit texts. */
#ifndef QUILLET_TEXTUTIL_H
#define QUILLET_TEXTUTIL_H

/* Position of the first occurrence of pattern in text, or -1. Positions are
   16-bit signed values, so text must be shorter than 32767 characters. An
   empty pattern is never found. */
int StrPos(const char *text, const char *pattern);

/* Copies at most n characters of source to dest and terminates it; dest must
   hold n + 1 bytes. n <= 0 gives an empty text. Returns dest. */
char *LeftStr(char *dest, const char *source, int n);

/* Pointer to the first character of text that is not a blank (0x20). */
const char *SkipSpace(const char *text);

/* Pointer to the first character of text that is not a comma. */
const char *SkipComma(const char *text);

/* Pointer to the first blank of text, or to its terminating NUL when it holds
   no blank. */
const char *SkipWord(const char *text);

/* Copies source into dest (size bytes), cut to size - 1 characters and
   always terminated. Returns dest. */
char *CopyText(char *dest, const char *source, int size);

/* Decimal value as atoi reads it (leading white space, optional sign, digits),
   but defined for every input: digits past the 32-bit range wrap. */
int DecimalValue(const char *text);

/* Copies source into dest (size bytes) for the log: bytes below 0x20, 0x7F
   and the backslash are written as \xNN, so a text from a peer or the host
   can neither start a line of its own, nor steer a terminal, nor pass for
   an escape. Cut before an escape that would not fit; always terminated.
   Returns dest. */
char *EscapeControls(char *dest, const char *source, int size);

/* The dotted quad of an IPv4 address given in host byte order, as the log
   writes addresses. dest holds ADDR_TEXT_SIZE bytes. Returns dest. */
#define ADDR_TEXT_SIZE 16
char *AddrText(char *dest, unsigned int addr);

#endif
