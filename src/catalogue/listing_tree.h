// A kept listing as a tree of folders with their sizes, read from its index (names, parents) and
// its sizes file (each entry's size, each folder's totals) a few frames at a time: a folder's
// children are read only when asked for, so that a listing of millions of entries is browsed,
// and its folders' totals printed as `du` prints them, without reading it whole. Works with the
// drive unplugged: nothing but the list folder is read.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/index_file.h"
#include "catalogue/listing_record.h"
#include "catalogue/size_file.h"

namespace quorvale::catalogue {

class KeptListing;

// The sizes `listing`'s record names, opened and checked. Throws runtime::RuntimeError ("Cannot
// <action> "<folder>": it has no sizes (…)", or why they cannot be used).
std::unique_ptr<KeptSizes> OpenSizesOf(KeptListing& listing, std::string_view action);

// One row of the tree: a folder (with its totals) or a file.
struct TreeRow {
    std::string name;  // the last part of its path (the root's: its whole path)
    bool folder = false;
    std::uint64_t number = 0;  // a folder's number, or a file's entry
    char kind = 'f';           // 'd', 'f', 'l', 'o' or '?'
    std::uint64_t bytes = 0;   // apparent size (a folder's: with everything below it)
    std::uint64_t blocks = 0;  // of 512 bytes
    std::uint64_t files = 0;   // below a folder
    std::uint64_t folders = 0;
    std::int64_t modified = 0;  // seconds since the epoch
};

// Reads from one thread at a time.
class ListingTree {
  public:
    // The listing kept in the list folder `folder`, with its index and its sizes. Throws
    // runtime::RuntimeError ("Cannot <action> "<folder>": why") when it has neither, or either
    // is damaged.
    ListingTree(const std::string& folder, std::string_view action);
    ~ListingTree();
    ListingTree(const ListingTree&) = delete;
    ListingTree& operator=(const ListingTree&) = delete;

    const ListingRecord& Record() const { return record_; }
    // The list folder, as given.
    const std::string& Folder() const { return folder_; }
    const KeptSizes& Sizes() const { return *sizes_; }
    // The root folder's row (its name its whole path as listed), with its totals counting each
    // file once however many hard links it has.
    TreeRow Root() const;
    // The subfolders of folder `folder` in listing order, then its files, `most` of them at
    // most. Throws runtime::RuntimeError when the index or the sizes are damaged.
    std::vector<TreeRow> Children(std::uint64_t folder, std::uint64_t most = UINT64_MAX) const;
    // How many subfolders and files `folder` holds (not below them).
    std::uint64_t ChildCount(std::uint64_t folder) const;
    // The folder whose path is `path` (as listed: the root's path, then "/" and names), if the
    // listing holds one.
    std::optional<std::uint64_t> FolderAt(std::string_view path) const;
    // The folder's path as listed.
    std::string PathOf(std::uint64_t folder) const;
    // The folders from the root down to `folder`, both included.
    std::vector<std::uint64_t> ChainTo(std::uint64_t folder) const;
    // The folder holding entry `entry` (the folder itself for a folder's entry).
    std::uint64_t FolderOfEntry(std::uint64_t entry) const;

    // What ForEachBelow tells of each folder.
    struct FolderBelow {
        std::uint64_t number = 0;
        std::string_view path;
        std::uint64_t depth = 0;  // below the folder asked for: 0 itself
        FolderTotals totals;
    };
    // Tells `each` folder `folder` and the folders below it down to `maxDepth`, each after every
    // folder below it (as `du` prints them); `check` is called every few thousand folders.
    void ForEachBelow(std::uint64_t folder, std::uint64_t maxDepth,
                      const std::function<void(const FolderBelow&)>& each,
                      const std::function<void()>& check = {}) const;

  private:
    const IndexedFolder& Indexed(std::uint64_t folder) const;
    FolderTotals TotalsOf(std::uint64_t folder) const;
    std::pair<std::uint64_t, std::uint64_t> FilesOf(std::uint64_t folder) const;

    std::string folder_;
    ListingRecord record_;
    std::optional<IndexFile> index_;
    std::unique_ptr<KeptSizes> sizes_;
    std::string rootPath_;
    // The index's folder frames read last, by frame number.
    mutable std::vector<std::pair<std::uint32_t, std::vector<IndexedFolder>>> frames_;
};

}  // namespace quorvale::catalogue
