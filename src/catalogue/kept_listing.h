// Reading a kept listing back (a list folder with the record of its Save), as carefully as it was
// written: the record read strictly, regular files only (never through a link, never waiting on a
// fifo or a device), every line no longer than a Save writes, the lines and bytes the record
// states, and no lock taken, so a reader never holds up a Save: it notes each file it opens and
// tells at the end whether a Save replaced any of them meanwhile.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "catalogue/listing_record.h"
#include "runtime/runtime_error.h"
#include "runtime/unique_fd.h"

namespace quorvale::catalogue {

// Thrown when a Save replaced a listing's files while they were read: what was told of the
// listing may mix two of them. Reading again may find one whole listing.
class ListingChanged : public runtime::RuntimeError {
  public:
    // "Cannot <action> "<folder>": a Save replaced its listing while it was read".
    ListingChanged(std::string_view action, const std::string& folder);
};

// One entry of a listing: a folder (by its folder line) or a file in the folder before it. The
// views hold until the next entry is read.
struct KeptEntry {
    bool isFile = false;
    std::string_view relative;    // the folder's path under the root ("" for the root)
    std::string_view name;        // a file's name
    std::string_view folderPath;  // the folder's full path as listed
    std::string_view details;     // type, size and time, where the listing has details
    std::uint64_t line = 0;       // the number of its line in the listing, from 0 (the root's)
};

// What the lines of a listing mean, taken one at a time in the order they were written: the
// first is the root as chosen; "\t" + path a folder; "\t\t" + name a file in the folder before
// it; anything else a denial line, which names no entry.
class ListingLines {
  public:
    // The entry `line` names, if any; its views hold until the next line is taken.
    std::optional<KeptEntry> Take(std::string_view line, std::string_view details = {});
    std::uint64_t Count() const { return count_; }

  private:
    std::string_view Relative() const;

    std::uint64_t count_ = 0;
    std::string base_;           // the root's folder line
    std::string folderPath_;     // the current folder's
    std::string_view relative_;  // its path under the root, in folderPath_
    bool inFolder_ = false;
};

// A listing's lines as entries, in the order the walk wrote them, read a block at a time across
// its list files (and its details files when asked), so memory does not grow with the listing.
// Throws runtime::RuntimeError, saying "Cannot <action> "<folder>": " and why, when the folder
// holds no record of a listing or its files are not the ones the record describes.
//
// While a Save writes into the folder (from when it moved the record and the index aside to when
// it put the new ones in place) the folder holds no record. A reader that `mayTakeTheEarlier` then
// takes the listing as it was before that Save began: its record and its index, moved aside,
// which the index alone can answer for (its list files are being replaced: Next says to try again
// once the Save has finished).
class KeptListing {
  public:
    KeptListing(const std::string& folder, std::string_view action, bool mayTakeTheEarlier = false);
    ~KeptListing();
    KeptListing(const KeptListing&) = delete;
    KeptListing& operator=(const KeptListing&) = delete;

    const ListingRecord& Record() const;
    bool HasDetails() const;
    // Whether every file read so far is still the one its name gives: no Save replaced any.
    bool Unchanged() const;
    const std::string& FolderPath() const;
    // The list folder's device and inode, from the handle it is read through.
    std::pair<std::uint64_t, std::uint64_t> FolderIdentity() const;
    // Another file of the list folder, opened as its list files are (a regular file only, never
    // through a link, never waited on) and noted with them, so Unchanged looks at it too; no handle
    // when there is none. Its size when opened in `size`.
    runtime::UniqueFd OpenFile(const std::string& name, std::uint64_t& size);
    // The index the record names, opened as OpenFile opens it (the one moved aside with the record
    // when the listing is the one before a Save began).
    runtime::UniqueFd OpenIndex(std::uint64_t& size);
    // The sizes file the record names, opened as OpenIndex opens the index.
    runtime::UniqueFd OpenSizes(std::uint64_t& size);
    // Whether this is the listing as it was before a Save of the folder began, a Save that has
    // not finished (see above).
    bool BeforeASave() const;
    // Reads the details files beside the list files, from the start.
    void ReadDetails();
    // The next entry, or nullopt at the listing's end (which must be where its record says).
    std::optional<KeptEntry> Next();

  private:
    class Reader;
    std::unique_ptr<Reader> reader_;
};

}  // namespace quorvale::catalogue
