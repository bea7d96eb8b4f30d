/* tests/fuzz/fuzzcheck.h: what the fuzz targets share: a check that stops
   the run with a readable cause, and atoi's value where atoi defines one. */
#ifndef QUILLET_FUZZCHECK_H
#define QUILLET_FUZZCHECK_H

#include <climits>
#include <cstdio>
#include <cstdlib>

/* A broken property is a finding: abort so that libFuzzer keeps the input. */
#define FUZZ_CHECK(cond)                                                          \
    do {                                                                          \
        if (!(cond)) {                                                            \
            fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #cond); \
            abort();                                                              \
        }                                                                         \
    } while (0)

/* The C library's reading of a decimal text. Digit strings beyond the 32-bit
   range have no agreed value, so they answer false and are not compared. */
static inline bool LibcDecimal(const char *text, int *value)
{
    char *end;
    long long v = strtoll(text, &end, 10);
    if (v < INT_MIN || v > INT_MAX || v == LLONG_MAX || v == LLONG_MIN)
        return false;
    *value = (int)v;
    return true;
}

#endif
