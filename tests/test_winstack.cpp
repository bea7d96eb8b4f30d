/* The stacks of the threads the Windows platform layer starts: each must
   reserve its own small stack, not the image's default, or the 32-bit
   build runs out of address space after a thousand handlers. */
#include "../common/platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <windows.h>

static std::atomic<SIZE_T> iReserved(0);

/* The whole reservation that holds this thread's stack: from its
   allocation base to the end of the last region with the same base. */
static void MeasureStack(void *)
{
    int here = 0;
    MEMORY_BASIC_INFORMATION mbi;
    if (VirtualQuery(&here, &mbi, sizeof(mbi)) == 0)
        return;
    char *base = (char *)mbi.AllocationBase;
    char *end = base;
    while (VirtualQuery(end, &mbi, sizeof(mbi)) != 0 && mbi.AllocationBase == base)
        end = (char *)mbi.BaseAddress + mbi.RegionSize;
    iReserved = (SIZE_T)(end - base);
}

TEST(ThreadStack, HandlersReserveLessThanTheImageDefault)
{
    const char *image = (const char *)GetModuleHandleA(nullptr);
    const IMAGE_NT_HEADERS *nt =
        (const IMAGE_NT_HEADERS *)(image + ((const IMAGE_DOS_HEADER *)image)->e_lfanew);
    SIZE_T imageDefault = (SIZE_T)nt->OptionalHeader.SizeOfStackReserve;
    ASSERT_EQ(imageDefault, (SIZE_T)2 * 1024 * 1024);

    ASSERT_EQ(PlatThreadStart(MeasureStack, nullptr), 0);
    int64_t deadline = PlatTickMs() + 5000;
    while (iReserved == 0 && PlatTickMs() < deadline)
        PlatSleep(5);
    ASSERT_NE(iReserved, (SIZE_T)0) << "the thread did not run";
    printf("handler stack reservation: %lu KiB (image default %lu KiB)\n",
           (unsigned long)(iReserved / 1024), (unsigned long)(imageDefault / 1024));
    EXPECT_LT(iReserved, imageDefault);

    /* The cap that follows from it (README: Windows limits). */
    PlatLimits limits = {0, 0, 0};
    PlatHandlerLimits(&limits);
    printf("handlers the address space holds: %d\n", limits.ownThreads);
    EXPECT_GT(limits.ownThreads, 0);
}
