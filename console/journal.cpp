/* console/journal.cpp: priorities for the journal. */
#include "journal.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

int bStdoutIsJournal(void)
{
    const char *stream = getenv("JOURNAL_STREAM");
    unsigned long long dev, ino;
    struct stat st;
    if (stream == nullptr || sscanf(stream, "%llu:%llu", &dev, &ino) != 2 || fstat(1, &st) != 0)
        return 0;
    return (unsigned long long)st.st_dev == dev && (unsigned long long)st.st_ino == ino ? 1 : 0;
}

/* What marks a line, first match wins, looked for in the program's own
   words: what stands between < and > (names, addresses, what a peer sent)
   is left out first. */
static const struct {
    const char *fragment;
    int priority;
} MARKS[] = {
    {"failure", 3},
    {"LastError", 3},
    {"Invalid Socket", 3},
    {"Unable to", 3},
    {"cannot start", 3},
    {"Lost the WINS Server", 3},
    {"could not be written", 3},
    {"Kept log cannot", 3},
    {"refused", 4},
    {"too many connections", 4},
    {"at its cap", 4},
    {"no open connection", 4},
    {"cannot check", 4},
    {"lost its port pair", 4},
    {"Unknown client message", 4},
    {"outside the node table", 4},
    {"stalled", 4},
    {"may be refused or cut", 4},
    {"held by no Quillet", 4},
};

int LogPriority(const char *line)
{
    char own[512];
    size_t n = 0;
    int depth = 0;
    for (const char *p = line; *p != '\0' && *p != '\n' && n + 1 < sizeof(own); p++) {
        if (*p == '<')
            depth++;
        else if (*p == '>' && depth > 0)
            depth--;
        else if (depth == 0)
            own[n++] = *p;
    }
    own[n] = '\0';
    for (const auto &m : MARKS)
        if (strstr(own, m.fragment) != nullptr)
            return m.priority;
    return 6;
}
