#include "runtime/process_memory.h"

#include <malloc.h>

namespace quorvale::runtime {

namespace {

// About what reads ahead may hold: the allocator keeps that much free at the top of its heap.
constexpr int kKeptFreeBytes = 32 << 20;
// Asked of the system in steps this large, so that a growing heap calls for memory less often.
constexpr int kHeapStep = 4 << 20;

}  // namespace

void KeepFreedMemoryUntilExit() {
    ::mallopt(M_TRIM_THRESHOLD, kKeptFreeBytes);
    ::mallopt(M_TOP_PAD, kHeapStep);
}

}  // namespace quorvale::runtime
