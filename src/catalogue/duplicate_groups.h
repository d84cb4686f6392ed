// Which files hold the same content, across kept listings, from their hashes alone: no byte of a
// file is read again, so the drives need not be plugged in. Files are grouped by size and hash
// (the hashes by size of each listing merged, so that only the files with a possible copy are
// looked at further); hard links of one listing (the same device and inode) are one copy; a folder
// whose whole content (every name, every file's size and hash, every subfolder likewise) is
// another folder's is one group of folders, not a group for each file below it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/listing_find.h"
#include "reading/content_hash.h"

namespace quorvale::catalogue {

// One copy: the listing it is in (an index into the listings given) and its full path as the
// listing wrote it (a folder's ending in "/"); for a file, its other names in the listing (hard
// links: the same file, no copy of it).
struct DuplicateCopy {
    std::size_t listing = 0;
    std::string path;
    std::vector<std::string> links;
};

// Copies of one content: files of `size` bytes with `hash`, or folders (an empty hash) holding
// `files` files of `size` bytes together. The first copy is the one to keep: the newest listing's,
// then the first in listing order.
struct DuplicateGroup {
    std::uint64_t size = 0;
    std::string hash;
    std::uint64_t files = 1;
    std::vector<DuplicateCopy> copies;
    bool OfFolders() const { return hash.empty(); }
    // The bytes the copies after the first take.
    std::uint64_t Waste() const { return size * (copies.size() - 1); }
};

struct DuplicateSearch {
    reading::HashAlgorithm algorithm = reading::HashAlgorithm::kXxh3;
    std::uint64_t minSize =
        1;                // files (and folders) smaller are passed over: empty ones free nothing
    bool folders = true;  // folders wholly held elsewhere as one group
};

// The algorithm of the hashes most of `listings` were saved with (XXH3-128 where as many have
// either, and where none has any): the one a question of copies asks of them.
reading::HashAlgorithm CommonAlgorithm(const std::vector<ListingToSearch>& listings);

// The groups of copies in `listings` (each saved with hashes of `search.algorithm`; check that
// before), the largest waste first. `check` is called every few thousand rows; what it throws
// passes through. Throws runtime::RuntimeError when a listing or its hashes cannot be read, and
// ListingChanged when a Save replaced one while it was read.
std::vector<DuplicateGroup> FindDuplicates(const std::vector<ListingToSearch>& listings,
                                           const DuplicateSearch& search,
                                           const std::function<void()>& check = {});

// One file of a listing and whether its content is in another listing given.
struct FileElsewhere {
    std::string_view path;  // its full path as the listing wrote it
    std::uint64_t size = 0;
    bool elsewhere = false;
};

// Tells `each` every hashed regular file of `listings[0]`, in listing order, and whether a file
// of the same size and hash is in any of the other listings. Throws as FindDuplicates.
void FilesElsewhere(const std::vector<ListingToSearch>& listings, reading::HashAlgorithm algorithm,
                    const std::function<void(const FileElsewhere&)>& each,
                    const std::function<void()>& check = {});

}  // namespace quorvale::catalogue
