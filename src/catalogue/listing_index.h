// The index a Save writes beside its list files (listing::kIndexName), so that a search reads a
// few blocks of it rather than every line of the list files, and a later Save knows which folders
// have not changed since. Its format (numbers little-endian, "varint" the 7-bits-a-byte encoding
// of LEB128, "zigzag" a signed number as a varint of (n << 1) ^ (n >> 63)):
//
//   header, 120 bytes: "QVIDX003"; u64 lines and u64 bytes of the list files it was made from (as
//       the record states them); u64 entries; u32 blocks; u32 trigrams; u64 where the block table
//       begins; u64 where the trigram table begins; u64 the file's size; u64 folders; u64 where
//       the folder table begins; u32 folder frames; u32 the cut-short list's checksum; u64 where
//       the cut-short list begins (it ends where the file does); 16 bytes the identity of the Save
//       that wrote it (see save_identity.h), the same as its record's; u32 the checksum of the
//       header's 112 bytes before it; u32 0.
//   blocks: the listing's entries in listing order, kEntriesPerBlock to a block, each block one
//       zstd frame of its entries, each entry its full path as the listing wrote it (a folder's
//       without its closing "/") coded against the entry before it in the block: varint bytes
//       shared with it, varint (bytes that follow << 3 | kind << 1 | 1 for a folder), those bytes;
//       kind 1 a folder or a regular file, 2 a link (a folder's: a link to a folder), 3 anything
//       else, 0 not known.
//   block table: for each block u64 where its frame begins and u32 the frame's checksum; then
//       u64 where the last one ends.
//   trigram table, by trigram: u32 trigram (three bytes of a path, the letters A-Z as a-z), u32
//       the checksum of its posting list, u64 where the list begins, u32 the checksum of the
//       row's first 16 bytes; then u64 where the last list ends.
//   posting lists: the blocks whose paths hold the trigram, ascending, as varint differences.
//   folder frames: the folders in the order of their folder lines, kFoldersPerFrame to a zstd
//       frame, each: varint its entry's number less the folder before's, varint its number less
//       its parent's (0: none), varint flags (1 stamped, 2 a link to a folder), when stamped zigzag
//       device, inode, modified, changed and read-at (nanoseconds since the epoch, see
//       reading::FolderStamp), and varint its name's length and the name (the last part of its
//       path).
//   folder table: for each frame u64 where it begins and u32 its checksum; then u64 where the last
//       one ends.
//   cut-short list: the numbers of the folders whose lines lack something they hold (their
//       entries cannot be told from the listing), ascending, as varint differences.
//
// A search takes the trigrams of the literal parts of its pattern, reads their posting lists, and
// decodes and matches only the blocks in all of them. Everything read is checked against the
// file's bounds and its checksum (FNV-1a, 64 bits folded to 32): a damaged index is an error
// (IndexDamaged), never a crash or a wrong answer. An index is used only beside the record that
// names it with the same Save's identity: an index another Save left, or one copied from another
// listing, is not that listing's. (Someone who may write the list folder can still make an index
// lie on purpose, as they can the list files themselves: the identity tells apart Saves, it does
// not sign them.)
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/listing_record.h"
#include "catalogue/save_identity.h"
#include "reading/file_system.h"
#include "runtime/runtime_error.h"

namespace quorvale::catalogue {

class EntryMatcher;

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

inline constexpr std::size_t kEntriesPerBlock = 512;
inline constexpr std::size_t kFoldersPerFrame = 1024;

// How many bytes of posting lists a builder that keeps its work in a scratch file holds in memory
// before it moves them there.
inline constexpr std::size_t kPostingBytesHeld = std::size_t{2} << 20;

// Builds an index from a listing's entries, given in listing order.
class ListingIndexBuilder {
  public:
    using Write = std::function<void(std::string_view bytes)>;

    // From now on (before the first entry) keeps what it has made in `scratch`, a file open for
    // reading and writing that nothing else uses (it is not closed here), rather than in memory:
    // each block and folder frame once made, and the posting lists whenever they hold more than
    // `postingBytesHeld` bytes. What it holds in memory then no longer grows with the listing,
    // but for a few bytes a block and a folder frame. Throws runtime::RuntimeError when the file
    // cannot be written or read back.
    void KeepIn(int scratch, std::size_t postingBytesHeld = kPostingBytesHeld);
    // `path`: the entry's full path as a search matches it (a folder's without its closing "/");
    // `kind` what it is (see reading::Enumeration::CurrentKind); a folder's `stamp` where it was
    // entered.
    void Add(std::string_view path, bool isFolder, char kind,
             const reading::FolderStamp& stamp = {});
    // The folder `folder` (numbered from 0 in the order of their entries) lacks something it
    // holds; told at any time, before or after its entry.
    void CutShort(std::uint64_t folder) { cutShort_.push_back(folder); }
    // The index, for a listing whose list files hold `lines` lines and `bytes` bytes, written by
    // the Save `save`, told to `write` piece by piece in order; returns its size.
    std::uint64_t Finish(std::uint64_t lines, std::uint64_t bytes, const SaveIdentity& save,
                         const Write& write);
    // The same, as one string.
    std::string Finish(std::uint64_t lines, std::uint64_t bytes, const SaveIdentity& save);

  private:
    // Blocks or folder frames made and not yet written: in memory, or where each lies in the
    // scratch file.
    struct Frames {
        std::vector<std::string> held;
        std::vector<std::uint64_t> at;
        std::vector<std::uint32_t> sizes;
        std::vector<std::uint32_t> checksums;
        std::uint64_t bytes = 0;
        std::size_t Count() const { return checksums.size(); }
    };
    // Where a spilled run of posting lists lies in the scratch file.
    struct Run {
        std::uint64_t at = 0;
        std::uint64_t bytes = 0;
    };
    // The merged posting list of each trigram, in the order of the trigrams.
    using MergedList = std::function<void(std::uint32_t trigram, std::string_view list)>;

    void EndBlock();
    void NoteTrigram(std::uint32_t trigram);
    void WidenTrigramSlots();
    void AddFolder(std::string_view path, char kind, const reading::FolderStamp& stamp);
    void EndFolderFrame();
    void Keep(Frames& frames, std::string frame);
    std::uint64_t Scratch(std::string_view bytes);
    void FlushScratch();
    void WriteFrames(Frames& frames, std::uint64_t at, const Write& write, std::string& table);
    void SpillPostingLists();
    std::vector<std::uint32_t> ListsByTrigram() const;
    void EachMergedList(const MergedList& told) const;
    std::string CutShortList();

    Frames blocks_;
    std::string block_;  // the block being built
    // Each trigram's posting list as it grows, as the index holds it: a posting costs a byte or
    // two, never a sort.
    struct PostingList {
        std::uint32_t trigram = 0;
        std::string blocks;
    };
    std::vector<PostingList> lists_;
    std::size_t postingBytes_ = 0;  // in lists_
    // Which trigrams have a list, and the last block in each: an open-addressed set of eight-byte
    // slots (the trigram + 1 in the low kKeyBits, 0 for an empty slot; the last block + 1 above
    // it), grown when half full, small enough to stay in the processor's cache for most listings,
    // so that noting a trigram the block being built holds already is one compare. slotList_
    // holds, slot for slot, where each one's list is in lists_.
    static constexpr int kKeyBits = 25;
    std::vector<std::uint64_t> trigramSlots_ = std::vector<std::uint64_t>(4096);
    std::vector<std::uint32_t> slotList_ = std::vector<std::uint32_t>(4096);
    std::string previous_;
    std::size_t inBlock_ = 0;
    std::uint64_t entries_ = 0;
    // The folders: their rows, kFoldersPerFrame to a frame, the frame being filled, and the
    // folders the latest one lies in (the length of each one's path in `folderPath_`, and its
    // number), for its parent.
    Frames folderFrames_;
    std::string folderRows_;
    std::uint64_t folders_ = 0;
    std::uint64_t lastFolderEntry_ = 0;
    std::vector<std::pair<std::size_t, std::uint64_t>> folderChain_;
    std::string folderPath_;
    std::vector<std::uint64_t> cutShort_;
    // The scratch file (-1: none), how much of it is made, the end of it not yet written (a few
    // blocks are written at once), and the runs spilled there.
    int scratch_ = -1;
    std::uint64_t scratchEnd_ = 0;
    std::string scratchPending_;
    std::size_t scratchPendingBytes_ = 0;
    std::uint64_t scratchWritten_ = 0;
    std::size_t postingBytesHeld_ = 0;
    std::vector<Run> runs_;
};

// What the index holds of one folder (see the folder frames above).
struct IndexedFolder {
    std::uint64_t entry = 0;   // the number of its folder line's entry
    std::uint64_t files = 0;   // the file entries after it
    std::uint64_t parent = 0;  // its parent's number + 1; 0: none
    reading::FolderStamp stamp;
    char kind = 'd';  // 'l': a link to a folder
    bool cutShort = false;
    std::string name;
};

// The folders of the index open as `fd` of the listing `listing`, in order. Throws IndexDamaged.
std::vector<IndexedFolder> ReadIndexedFolders(int fd, const IndexOfListing& listing);

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

// Checks every block of the same index against its checksum, reading each once. Throws
// IndexDamaged.
void CheckIndexedBlocks(int fd, const IndexOfListing& listing);

// The block holding entry `entry` of the same index. Throws IndexDamaged (also when there is no
// such entry).
IndexedBlock ReadIndexedBlock(int fd, const IndexOfListing& listing, std::uint64_t entry);

// An index read back is not what a Save writes: the search goes on the list files instead.
class IndexDamaged : public runtime::RuntimeError {
  public:
    explicit IndexDamaged(const std::string& why);
};

// One entry an index search found: its path as printed (a folder's ending in "/").
using IndexMatch = std::function<bool(std::string_view path)>;

// Searches the index open as `fd` of the listing `listing`, reading only the parts it needs: tells
// `found` each entry `matcher` matches, in listing order, until it returns false; `check` is called
// every few blocks. Returns how many it told. Throws IndexDamaged when the index is not one of that
// listing, or damaged (perhaps after telling some entries).
// `blocksDecoded`, when given, is told how many blocks the search decoded.
std::uint64_t SearchIndex(int fd, const IndexOfListing& listing, const EntryMatcher& matcher,
                          const IndexMatch& found, const std::function<void()>& check,
                          std::uint64_t* blocksDecoded = nullptr);

// The trigrams a path must hold to match `query`'s pattern (folded as the index folds them):
// those of each run of plain bytes in it.
std::vector<std::uint32_t> TrigramsOfPattern(std::string_view pattern, bool isShellPattern);

}  // namespace quorvale::catalogue
