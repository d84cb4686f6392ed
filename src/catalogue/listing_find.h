// Finding entries in kept listings: which listings a search reads (list folders found below the
// folders given, the newest of each drive and root first), what matches (as `locate` matches:
// a substring of the full path, or a shell pattern on it, or on the name alone), and the search
// of one listing, read with the checks of KeptListing.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/entry_matcher.h"
#include "catalogue/index_format.h"
#include "catalogue/kept_listing.h"

namespace quorvale::catalogue {

// A kept listing a search reads: where it lies and what its record says of it.
struct ListingToSearch {
    std::string folder;
    ListingRecord record;
};

// What tells one drive's listings of one root from the others' (its UUID, else its label, else
// the host and what was mounted; and the root): of a drive listed again, the newest answers alone.
std::string DriveAndRoot(const ListingRecord& record);

// The kept listings in `folders` and in their subfolders two levels down (never through a link),
// each read back by its record: newest first (by the time each Save ended), and unless `all`
// only the newest of each drive and root. `problem` is told each folder or listing that cannot be
// read, with why ("Cannot search ..."). `check`, when given, is called before each folder and
// each listing is looked at; what it throws passes through.
// With `quiet`, folders that are missing or hold no listing are passed over without a word (the
// places searched by default). `unreadable`, when given, counts the folders that are missing or
// cannot be read (not the listings).
std::vector<ListingToSearch> ListingsToSearch(const std::vector<std::string>& folders, bool all,
                                              const std::function<void(std::string)>& problem,
                                              const std::function<void()>& check = {},
                                              bool quiet = false,
                                              std::size_t* unreadable = nullptr);

// One match: the entry's full path as the listing wrote it (a folder's ending in "/"), and its
// details (type, size, time and a tab each) where the listing has them and `withDetails` asked.
struct FoundEntry {
    std::string_view path;
    std::string_view details;
};

// The path of `entry` as a search prints it, in `path` (a folder's ending in "/"); returns how
// much of it a search matches (all but that "/").
std::size_t EntryPath(const KeptEntry& entry, std::string& path);

struct FindOptions {
    bool withDetails = false;  // the details, where the listing has them (read from its files)
    bool useIndex = true;      // the listing's index, where details are not asked for
};

// Tells `found` each entry of the listing in `folder` that `matcher` matches, in listing order,
// until `found` returns false. Returns how many it told. The listing's index is read where it
// may be, else its list files. `check`, when given, is called every few thousand entries; what it
// throws passes through. Throws runtime::RuntimeError when the listing cannot be read,
// IndexDamaged when its index cannot be used (the caller searches again without it), and
// ListingChanged when a Save replaced any file it read; the last two perhaps after telling some
// entries: a caller holds what it was told until the search returns. `opened`, when given, is told
// the record of the listing as it is read, before any entry: what the entries are of (a Save may
// have replaced the listing since its record was read to choose it), and whether it is the
// listing as it was before a Save of it began, a Save that has not finished (see KeptListing):
// its index answers alone.
std::uint64_t FindInListing(const std::string& folder, const EntryMatcher& matcher,
                            const FindOptions& options,
                            const std::function<bool(const FoundEntry&)>& found,
                            const std::function<void()>& check = {},
                            const std::function<void(const ListingRecord&, bool)>& opened = {});

// Searches the listing in `folder` as every search does (the command line's and the window's):
// FindInListing, once more when a Save replaced the listing while it was read, and by its list
// files when its index cannot be used (`fellBack`, when given, told why before they are read).
// `begin` is told before each attempt: what an attempt given up told is no part of the answer.
// Returns how many matched. Throws runtime::RuntimeError when the listing cannot be read, and
// ListingChanged when a Save replaced it again while it was read again.
std::uint64_t SearchListing(const std::string& folder, const EntryMatcher& matcher,
                            FindOptions options, const std::function<void()>& begin,
                            const std::function<bool(const FoundEntry&)>& found,
                            const std::function<void()>& check,
                            const std::function<void(const ListingRecord&, bool)>& opened,
                            const std::function<void(const std::string&)>& fellBack = {});

}  // namespace quorvale::catalogue
