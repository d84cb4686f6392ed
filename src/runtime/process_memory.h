// How the process's allocator keeps memory it was given back.
#pragma once

namespace quorvale::runtime {

// For a process that ends after one Save: memory freed while the walk runs is kept for the next
// folders instead of being handed back to the system and asked for (and faulted in) again.
void KeepFreedMemoryUntilExit();

}  // namespace quorvale::runtime
