/* app/switches.cpp: reading the switches. */
#include "switches.h"

#include <stdio.h>
#include <string.h>

/* The switches, by name; each sets one field and takes no value. */
static const struct {
    const char *name;
    int Switches::*field;
} FLAGS[] = {
    {"table-only", &Switches::bTableOnly},
    {"irc-names", &Switches::bIrcNames},
};

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
        bool bKnown = false;
        for (const auto &f : FLAGS) {
            if (strlen(f.name) != len || strncmp(f.name, name, len) != 0)
                continue;
            if (value != nullptr) {
                snprintf(error, (size_t)size, "--%s takes no value: '%s'", f.name, arg);
                return -1;
            }
            sw->*f.field = 1;
            bKnown = true;
        }
        if (!bKnown) {
            snprintf(error, (size_t)size, "unknown switch '%s'", arg);
            return -1;
        }
    }
    return 0;
}
