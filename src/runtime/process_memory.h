// How the process's allocator keeps memory it was given back.
#pragma once

namespace quorvale::runtime {

// For a process that ends after one Save: memory freed while the walk runs is kept for the next
// folders instead of being handed back to the system and asked for (and faulted in) again, and
// the threads share a few of the allocator's arenas (one for every four processors), so that
// what one thread freed serves the others. Called before any other thread starts.
void KeepFreedMemoryUntilExit();

}  // namespace quorvale::runtime
