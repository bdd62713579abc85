#include "app/heaptuning.h"

#include <cstdlib> // defines __GLIBC__ where glibc is the C library

#if defined(__GLIBC__)
#include <malloc.h>
#endif

void keepLargeBlocksOutOfTheHeap()
{
#if defined(__GLIBC__)
    // glibc's initial threshold; setting it also switches the dynamic raising off.
    constexpr int kThreshold = 128 * 1024;
    mallopt(M_MMAP_THRESHOLD, kThreshold);
#endif
}
