#pragma once

namespace vrn {

// A thread that freed millions of small blocks leaves them for the C library to merge at its
// next larger allocation, or as it exits, holding the lock of that heap all the while: half a
// second at 300 MB. A worker calls this when a task is done, so that the merge happens there,
// before the window takes the results and has to wait for the lock to free memory of that heap.
void tidyHeap();

} // namespace vrn
