#include "store/allocator.h"

#ifdef VARNEL_JEMALLOC
#include <jemalloc/jemalloc.h>

#include <cstdint>

#define VARNEL_TEXT(x) VARNEL_TEXT_(x)
#define VARNEL_TEXT_(x) #x
#elif defined(__GLIBC__)
#include <malloc.h>
#endif

namespace vrn::allocator {

#ifdef VARNEL_JEMALLOC

qint64 bytesInUse()
{
    // The counters are a snapshot taken when the epoch moves on.
    uint64_t epoch = 1;
    size_t size = sizeof(epoch);
    mallctl("epoch", &epoch, &size, &epoch, size);
    size_t allocated = 0;
    size = sizeof(allocated);
    if (mallctl("stats.allocated", &allocated, &size, nullptr, 0) != 0)
        return -1;
    return qint64(allocated);
}

void releaseFreed()
{
    mallctl("arena." VARNEL_TEXT(MALLCTL_ARENAS_ALL) ".purge", nullptr, nullptr, nullptr, 0);
}

const char *name()
{
    return "jemalloc " VARNEL_TEXT(JEMALLOC_VERSION_MAJOR) "." VARNEL_TEXT(
        JEMALLOC_VERSION_MINOR) "." VARNEL_TEXT(JEMALLOC_VERSION_BUGFIX);
}

#else

qint64 bytesInUse()
{
#ifdef __GLIBC__
    const struct mallinfo2 info = mallinfo2();
    return qint64(info.uordblks + info.hblkhd);
#else
    return -1;
#endif
}

void releaseFreed()
{
#ifdef __GLIBC__
    malloc_trim(0);
#endif
}

const char *name()
{
#ifdef __GLIBC__
    return "glibc";
#else
    return "the C library's";
#endif
}

#endif

} // namespace vrn::allocator
