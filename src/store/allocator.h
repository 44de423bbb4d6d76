#pragma once

#include <QtGlobal>

namespace vrn::allocator {

// The memory allocator the programs run on: jemalloc where they were built with it (the window
// frees large documents and lists on workers, and glibc's allocator made it wait on its lock
// meanwhile and kept much of what was freed), else the C library's.

// Bytes handed out and not freed yet; -1 when the allocator cannot tell.
qint64 bytesInUse();
// Gives the system back the freed memory the allocator keeps for reuse, where it can.
void releaseFreed();
// "jemalloc 5.3.0" or "glibc", for a measurement's header.
const char *name();

} // namespace vrn::allocator
