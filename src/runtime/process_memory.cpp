#include "runtime/process_memory.h"

#include <malloc.h>

#include <algorithm>
#include <thread>

namespace quorvale::runtime {

namespace {

// About what reads ahead may hold: the allocator keeps that much free at the top of its heap.
constexpr int kKeptFreeBytes = 32 << 20;
// Asked of the system in steps this large, so that a growing heap calls for memory less often.
constexpr int kHeapStep = 4 << 20;
// Processors to an allocator's arena. Each arena keeps what was freed in it for itself: with the
// allocator's default (eight arenas a processor) the index's builder and the reader threads each
// had their own, and a Save of /usr peaked 3 MiB higher than with one, no faster.
constexpr unsigned kProcessorsAnArena = 4;

}  // namespace

void KeepFreedMemoryUntilExit() {
    ::mallopt(M_TRIM_THRESHOLD, kKeptFreeBytes);
    ::mallopt(M_TOP_PAD, kHeapStep);
    const unsigned processors = std::max(1u, std::thread::hardware_concurrency());
    ::mallopt(M_ARENA_MAX, static_cast<int>(std::max(1u, processors / kProcessorsAnArena)));
}

}  // namespace quorvale::runtime
