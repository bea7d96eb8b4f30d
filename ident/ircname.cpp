/* ident/ircname.cpp: IRC-safe idents. The hash is fixed (FNV-1a, 32 bits),
   so that the 32- and 64-bit builds and every restart give the same ident. */
#include "ircname.h"

#include <stdint.h>
#include <stdio.h>
#include <string.h>

static const uint32_t FNV_OFFSET = 2166136261u;
static const uint32_t FNV_PRIME = 16777619u;
static const char BASE36[] = "0123456789abcdefghijklmnopqrstuvwxyz";

std::atomic<int> bIrcNames(0);

static bool bAlnum(unsigned char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

int IrcNameFaults(const char *name)
{
    int faults = strlen(name) > IRC_IDENT_MAX ? IRC_TOO_LONG : 0;
    for (const unsigned char *p = (const unsigned char *)name; *p != '\0'; p++) {
        if (*p == ' ')
            faults |= IRC_HAS_BLANK;
        else if (!bAlnum(*p))
            faults |= IRC_HAS_OTHER;
    }
    return faults;
}

void IrcFaultsText(int faults, char *why)
{
    char all[IRC_FAULTS_TEXT_SIZE + 2] = "";
    if (faults & IRC_HAS_BLANK)
        strcat(all, ", a blank");
    if (faults & IRC_HAS_OTHER)
        strcat(all, ", a character other than letters and digits");
    if (faults & IRC_TOO_LONG) {
        size_t n = strlen(all);
        snprintf(all + n, sizeof(all) - n, ", more than %d characters", IRC_IDENT_MAX);
    }
    strcpy(why, all[0] != '\0' ? all + 2 : all);
}

static uint32_t Fnv1a(uint32_t hash, const char *bytes)
{
    for (const unsigned char *p = (const unsigned char *)bytes; *p != '\0'; p++)
        hash = (hash ^ *p) * FNV_PRIME;
    return hash;
}

void IrcIdent(const char *name, int counter, char *ident)
{
    if (counter == 0 && name[0] != '\0' && IrcNameFaults(name) == 0) {
        strcpy(ident, name);
        return;
    }
    int n = 0;
    for (const unsigned char *p = (const unsigned char *)name; *p != '\0' && n < IRC_IDENT_KEEP;
         p++)
        if (bAlnum(*p))
            ident[n++] = (char)*p;
    if (n == 0) {
        ident[0] = '\0';
        return;
    }
    uint32_t hash = Fnv1a(FNV_OFFSET, name);
    if (counter > 0) {
        char digits[16];
        snprintf(digits, sizeof(digits), "%d", counter);
        hash = Fnv1a(hash, digits);
    }
    /* The last digits of the hash in base 36, lowest last. */
    for (int i = IRC_SUFFIX_LEN - 1; i >= 0; i--, hash /= 36)
        ident[n + i] = BASE36[hash % 36];
    ident[n + IRC_SUFFIX_LEN] = '\0';
}

static bool bSameIgnoringCase(const char *a, const char *b)
{
    for (; *a != '\0' && *b != '\0'; a++, b++) {
        char x = *a >= 'A' && *a <= 'Z' ? (char)(*a + 32) : *a;
        char y = *b >= 'A' && *b <= 'Z' ? (char)(*b + 32) : *b;
        if (x != y)
            return false;
    }
    return *a == *b;
}

void IrcIdentAmong(const char *name, int count, const char *const *names, const char *const *idents,
                   char *ident, int *counter)
{
    *counter = 0;
    for (int i = 0; i < count; i++) {
        if (strcmp(names[i], name) == 0) {
            strcpy(ident, idents[i]);
            return;
        }
    }
    /* Each try is a new hash, and there are far fewer users than suffixes,
       so a free one comes within a few tries. */
    for (;; (*counter)++) {
        IrcIdent(name, *counter, ident);
        bool bTaken = false;
        for (int i = 0; i < count && !bTaken && ident[0] != '\0'; i++)
            bTaken = bSameIgnoringCase(ident, idents[i]);
        if (!bTaken)
            return;
    }
}
