/* tests/fuzz/fuzz_ferrule.cpp: the ferrule exports against plain reference
   versions: _qvMemCpy against memmove over overlapping ranges in both
   directions, the two name checks against their rules on arbitrary texts. */
#include "fuzzcheck.h"

#include "../../ferrule/ferrule.h"

#include <cstdint>
#include <cstring>
#include <vector>

static const size_t AREA = 300; /* room for two overlapping ranges */

static void CheckMemCpy(const uint8_t *data, size_t size)
{
    if (size < 3)
        return;
    size_t dest = data[0], source = data[1];
    /* Counts from -8 up to the room left; negatives must write nothing. */
    int count = (int)data[2] - 8;
    size_t room = AREA - (dest > source ? dest : source);
    if (count > (int)room)
        count = (int)room;
    std::vector<uint8_t> area(AREA), want(AREA);
    for (size_t i = 0; i < AREA; i++)
        area[i] = (uint8_t)(i < size - 3 ? data[3 + i] : i * 7);
    want = area;
    if (count > 0)
        memmove(want.data() + dest, want.data() + source, (size_t)count);
    _qvMemCpy(area.data() + dest, area.data() + source, count);
    FUZZ_CHECK(area == want);
}

static void CheckNames(const uint8_t *data, size_t size)
{
    /* The text as a caller hands it over: terminated, on the heap at its
       exact size so that a read past its end is caught. */
    std::vector<char> text(data, data + size);
    text.push_back('\0');
    const char *t = text.data();
    size_t len = strlen(t);
    int channel = _qvIRC_bValidChannelName(t);
    int server = _qvIRC_bValidServerName(t);
    FUZZ_CHECK(channel == (len >= 2 && (t[0] == '#' || t[0] == '&') ? 1 : 0));
    FUZZ_CHECK(server == (len >= 3 && strchr(t, '.') != nullptr ? 1 : 0));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FUZZ_CHECK(_qvGetDLLVersion() == 1);
    CheckMemCpy(data, size);
    CheckNames(data, size);
    return 0;
}
