/* app/switches.cpp: reading the switches. */
#include "switches.h"

#include "../common/keptlog.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* The longest wait for the host server a switch may ask for: a year. */
static const long WAIT_FOR_HOST_MAX_S = 366L * 24 * 3600;

/* The most IDENT connections a switch may ask to hold; the system's own
   limit lowers it further. */
static const long MAX_IDENT_MAX = 1000000;

enum SwitchKind {
    SWITCH_FLAG,    /* --name */
    SWITCH_SECONDS, /* --name or --name=SECONDS */
    SWITCH_NAME,    /* --name=NAME */
    SWITCH_COUNT,   /* --name=N */
    SWITCH_FOLDER   /* --name=DIR */
};

static const struct {
    const char *name;
    SwitchKind kind;
    int Switches::*flag; /* the field a SWITCH_FLAG or SWITCH_COUNT sets */
} SWITCHES[] = {
    {"table-only", SWITCH_FLAG, &Switches::bTableOnly},
    {"irc-names", SWITCH_FLAG, &Switches::bIrcNames},
    {"wait-for-host", SWITCH_SECONDS, nullptr},
    {"user", SWITCH_NAME, nullptr},
    {"max-ident", SWITCH_COUNT, &Switches::iMaxIdent},
    {"log-dir", SWITCH_FOLDER, nullptr},
    {"log-days", SWITCH_COUNT, &Switches::iLogDays},
    {"service", SWITCH_FLAG, &Switches::bService},
};

/* Stores one switch's value; 0, or -1 with the reason. */
static int Store(Switches *sw, int which, const char *arg, const char *value, char *error, int size)
{
    const char *name = SWITCHES[which].name;
    switch (SWITCHES[which].kind) {
    case SWITCH_FLAG:
        if (value != nullptr) {
            snprintf(error, (size_t)size, "--%s takes no value: '%s'", name, arg);
            return -1;
        }
        sw->*SWITCHES[which].flag = 1;
        return 0;
    case SWITCH_SECONDS: {
        if (value == nullptr) {
            sw->iWaitForHost = HOST_WAIT_ALWAYS;
            return 0;
        }
        char *end = nullptr;
        long seconds = strtol(value, &end, 10);
        if (value[0] < '0' || value[0] > '9' || *end != '\0' || seconds < 1 ||
            seconds > WAIT_FOR_HOST_MAX_S) {
            snprintf(error, (size_t)size, "--%s takes a number of seconds from 1 to %ld: '%s'",
                     name, WAIT_FOR_HOST_MAX_S, arg);
            return -1;
        }
        sw->iWaitForHost = (int)seconds;
        return 0;
    }
    case SWITCH_COUNT: {
        char *end = nullptr;
        long n = value != nullptr ? strtol(value, &end, 10) : 0;
        long most = SWITCHES[which].flag == &Switches::iLogDays ? KEPT_LOG_DAYS_MAX : MAX_IDENT_MAX;
        if (value == nullptr || value[0] < '0' || value[0] > '9' || *end != '\0' || n < 1 ||
            n > most) {
            snprintf(error, (size_t)size, "--%s takes a number from 1 to %ld: '%s'", name, most,
                     arg);
            return -1;
        }
        sw->*SWITCHES[which].flag = (int)n;
        return 0;
    }
    case SWITCH_FOLDER:
        if (value == nullptr || value[0] == '\0' || strlen(value) >= sizeof(sw->sLogDir)) {
            snprintf(error, (size_t)size,
                     "--%s takes a folder's name of at most %d characters: '%s'", name,
                     (int)sizeof(sw->sLogDir) - 1, arg);
            return -1;
        }
        strcpy(sw->sLogDir, value);
        return 0;
    default:
        if (value == nullptr || value[0] == '\0' || strlen(value) >= sizeof(sw->sUser)) {
            snprintf(error, (size_t)size, "--%s takes an account's name: '%s'", name, arg);
            return -1;
        }
        strcpy(sw->sUser, value);
        return 0;
    }
}

int ReadSwitches(int argc, const char *const *argv, Switches *sw, char *error, int size)
{
    memset(sw, 0, sizeof(*sw));
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (strncmp(arg, "--", 2) != 0 || arg[2] == '\0') {
            snprintf(error, (size_t)size, "'%s' is not a switch (they are written --name)", arg);
            return -1;
        }
        const char *name = arg + 2;
        const char *value = strchr(name, '=');
        size_t len = value != nullptr ? (size_t)(value - name) : strlen(name);
        int which = -1;
        for (int k = 0; k < (int)(sizeof(SWITCHES) / sizeof(SWITCHES[0])); k++)
            if (strlen(SWITCHES[k].name) == len && strncmp(SWITCHES[k].name, name, len) == 0)
                which = k;
        if (which < 0) {
            snprintf(error, (size_t)size, "unknown switch '%s'", arg);
            return -1;
        }
        if (Store(sw, which, arg, value != nullptr ? value + 1 : nullptr, error, size) != 0)
            return -1;
    }
    return 0;
}
