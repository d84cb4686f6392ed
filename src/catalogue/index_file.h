// Reading an index back (see index_format.h for its bytes): opened and its header checked once,
// then read a few bytes at a time where they are needed, every read through one checked range (a
// file replaced or cut short meanwhile gives errors, never a signal). Everything read is checked
// against the file's bounds and its checksum: a damaged index is an error (IndexDamaged), never a
// crash or a wrong answer. An index is used only beside the record that names it with the same
// Save's identity: an index another Save left, or one copied from another listing, is not that
// listing's. (Someone who may write the list folder can still make an index lie on purpose, as
// they can the list files themselves: the identity tells apart Saves, it does not sign them.)
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/index_format.h"
#include "catalogue/listing_record.h"
#include "catalogue/save_identity.h"
#include "reading/file_system.h"
#include "runtime/unique_fd.h"

namespace quorvale::catalogue {

class KeptListing;

// What a listing's record says of its index: an index that says otherwise is not that listing's.
struct IndexOfListing {
    std::uint64_t size = 0;       // of the index file
    std::uint64_t lines = 0;      // of the list files
    std::uint64_t listBytes = 0;  // of the list files together
    SaveIdentity save;            // the Save that wrote the listing
};

// What `record` says of its index; none when its index cannot be tied to it (a record of a version
// that wrote no Save's identity).
std::optional<IndexOfListing> IndexOfRecord(const ListingRecord& record);

// What the index holds of one folder (see the folder frames of its format).
struct IndexedFolder {
    std::uint64_t entry = 0;   // the number of its folder line's entry
    std::uint64_t files = 0;   // the file entries after it
    std::uint64_t parent = 0;  // its parent's number + 1; 0: none
    reading::FolderStamp stamp;
    char kind = 'd';  // 'l': a link to a folder
    bool cutShort = false;
    std::string name;
};

// The entries of one block of an index: each one's name (the last part of its path) and its kind
// ('d', 'f', 'l', 'o' or '?').
struct IndexedBlock {
    std::uint64_t first = 0;          // the number of its first entry
    std::string names;                // end to end
    std::vector<std::uint32_t> ends;  // where each one's name ends in `names`
    std::string kinds;

    std::size_t Count() const { return ends.size(); }
    std::string_view Name(std::size_t i) const {
        const std::uint32_t start = i == 0 ? 0 : ends[i - 1];
        return std::string_view(names).substr(start, ends[i] - start);
    }
};

// The header's counts and where each part lies, checked against each other and the file's size.
struct IndexHeader {
    std::uint64_t entries = 0;
    std::uint32_t blocks = 0;
    std::uint32_t trigrams = 0;
    std::uint64_t blockTable = 0;
    std::uint64_t trigramTable = 0;
    std::uint64_t folders = 0;
    std::uint64_t folderTable = 0;
    std::uint32_t folderFrames = 0;
    std::uint32_t cutShortChecksum = 0;
    std::uint64_t cutShortAt = 0;
};

// One index, open. Its reads may be made from several threads at once.
class IndexFile {
  public:
    // The index open as `fd`, of the listing `listing`: its header read and checked. Throws
    // IndexDamaged when it is not one this version reads, not that listing's, or damaged.
    IndexFile(runtime::UniqueFd fd, const IndexOfListing& listing);

    const IndexHeader& Header() const { return header_; }
    std::uint64_t Size() const { return size_; }

    // Bytes [at, end) of the index: its header, a table's rows, a posting list or a frame. Throws
    // IndexDamaged when they do not lie in it or cannot be read.
    std::string Range(std::uint64_t at, std::uint64_t end) const;
    // Frame `number` of a table at `table` (the block table or the folder table), checked against
    // its checksum and decompressed. Throws IndexDamaged.
    std::string Frame(std::uint64_t table, std::uint64_t number) const;
    // The same frame as it lies in the index, checked against its checksum, which `checksum`
    // (when given) is told. Throws IndexDamaged.
    std::string FrameBytes(std::uint64_t table, std::uint64_t number,
                           std::uint32_t* checksum = nullptr) const;

    // The folders, in order. Throws IndexDamaged.
    std::vector<IndexedFolder> Folders() const;
    // The folders of folder frame `frame` alone (kFoldersPerFrame of them, the last frame's
    // perhaps fewer), appended to `folders` (which holds none before); their entry numbers are
    // counted on from `entry` (0 before the first frame: read in order, each frame carries them
    // to the next). Their files and whether they were cut short are not told. Throws
    // IndexDamaged.
    void FolderFrame(std::uint32_t frame, std::uint64_t& entry,
                     std::vector<IndexedFolder>& folders) const;
    // Checks every block against its checksum, reading each once. Throws IndexDamaged.
    void CheckBlocks() const;
    // The block holding entry `entry`. Throws IndexDamaged (also when there is no such entry).
    IndexedBlock Block(std::uint64_t entry) const;

  private:
    void ReadCutShort(std::vector<IndexedFolder>& folders) const;

    runtime::UniqueFd fd_;
    std::uint64_t size_ = 0;
    IndexHeader header_;
};

// The index `listing`'s record names, opened as the listing opens its files and checked. Throws
// IndexDamaged, saying why it cannot be used: none named (a listing of an earlier version), none
// tied to its record, missing, not the size its record states, or damaged; and
// runtime::RuntimeError as KeptListing::OpenIndex does.
IndexFile OpenIndexOf(KeptListing& listing);

}  // namespace quorvale::catalogue
