// A Save as the window and `quorvale --save` make it: the listing core's Save (the lock, the walk,
// the list and details files) with the record of the listing beside its list files. It sits above
// the listing and the catalogue because it joins them: the walk knows nothing of records, and the
// catalogue, which reads records back, nothing of walks.
#pragma once

#include <cstdint>
#include <string>

#include "catalogue/index_file.h"
#include "listing/listing_core.h"
#include "runtime/runtime_services.h"
#include "save/hashes_of_lines.h"

namespace quorvale::save {

// Saves the listing of `root` with `core`, into the folder `runtime` locks. An earlier record is
// renamed quorvale-listing.previous.json before the first list file is written (from then on it
// would describe files partly replaced); once every list file is in place, the record of this
// Save (see catalogue::ListingRecord) is written through the lock's handle, whole or not at all.
// Returns and throws what ListingCore::SaveListing does.
// With `reuse`, the record names the earlier listing whose unchanged folders the walk took (the
// file system was told where it lies) and how many folders it took and read; a Save into that
// listing's own folder is refused before anything is written there.
struct Reuse {
    std::string listing;       // the earlier listing's list folder, as given (empty: none)
    std::uint64_t device = 0;  // and which folder it is
    std::uint64_t inode = 0;
    // Its index, whose blocks the new index takes as they are while they hold the same entries
    // (none: every block is made from the lines).
    const catalogue::IndexFile* index = nullptr;
};
// With `hashing` (an algorithm), the content of every regular file is hashed beside the walk and
// the two hash files are written beside the index, whole or not at all, tied to the record.
bool SaveListing(listing::ListingCore& core, runtime::RuntimeServices& runtime,
                 const std::string& root, const Reuse& reuse = {}, const Hashing& hashing = {});

}  // namespace quorvale::save
