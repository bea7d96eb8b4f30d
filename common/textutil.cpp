/* common/textutil.cpp: text helpers shared by quillet and ferrule. */
#include "textutil.h"

int StrPos(const char *text, const char *pattern)
{
    if (pattern[0] == '\0')
        return -1;
    for (short i = 0; text[i] != '\0'; i++) {
        int j = 0;
        while (pattern[j] != '\0' && pattern[j] == text[i + j])
            j++;
        if (pattern[j] == '\0')
            return i;
        if (i == 32766)
            break;
    }
    return -1;
}

char *LeftStr(char *dest, const char *source, int n)
{
    char *d = dest;
    while (n > 0) {
        char c = *source++;
        *d++ = c;
        n--;
        if (c == '\0')
            break;
    }
    *d = '\0';
    return dest;
}

const char *SkipSpace(const char *text)
{
    while (*text == ' ')
        text++;
    return text;
}

const char *SkipComma(const char *text)
{
    while (*text == ',')
        text++;
    return text;
}

const char *SkipWord(const char *text)
{
    while (*text != ' ' && *text != '\0')
        text++;
    return text;
}

char *CopyText(char *dest, const char *source, int size)
{
    int n = 0;
    while (n < size - 1 && source[n] != '\0') {
        dest[n] = source[n];
        n++;
    }
    dest[n] = '\0';
    return dest;
}

int DecimalValue(const char *text)
{
    while (*text == ' ' || (*text >= '\t' && *text <= '\r'))
        text++;
    bool bNegative = false;
    if (*text == '+' || *text == '-')
        bNegative = *text++ == '-';
    /* Unsigned arithmetic wraps instead of overflowing, which keeps a long
       digit string defined. */
    unsigned int uValue = 0;
    while (*text >= '0' && *text <= '9')
        uValue = uValue * 10u + (unsigned int)(*text++ - '0');
    if (bNegative)
        uValue = 0u - uValue;
    return (int)uValue;
}

char *EscapeControls(char *dest, const char *source, int size)
{
    static const char HEX[] = "0123456789abcdef";
    int n = 0;
    for (; *source != '\0'; source++) {
        unsigned char c = (unsigned char)*source;
        /* The backslash too, so that an escape is never mistaken for text
           that looks like one. */
        if (c >= 0x20 && c != 0x7F && c != '\\') {
            if (n + 1 > size - 1)
                break;
            dest[n++] = (char)c;
            continue;
        }
        if (n + 4 > size - 1)
            break;
        dest[n++] = '\\';
        dest[n++] = 'x';
        dest[n++] = HEX[c >> 4];
        dest[n++] = HEX[c & 15];
    }
    dest[n] = '\0';
    return dest;
}

/* Written by hand: ferrule shares this file and needs no formatted output. */
char *AddrText(char *dest, unsigned int addr)
{
    char *p = dest;
    for (int shift = 24; shift >= 0; shift -= 8) {
        unsigned int octet = (addr >> shift) & 255;
        if (octet >= 100)
            *p++ = (char)('0' + octet / 100);
        if (octet >= 10)
            *p++ = (char)('0' + octet / 10 % 10);
        *p++ = (char)('0' + octet % 10);
        if (shift > 0)
            *p++ = '.';
    }
    *p = '\0';
    return dest;
}
