// The sizes a Save with details keeps beside its list files (listing::kSizesName): each entry's
// size, allocated blocks and modification time by its entry number, and each folder's totals of
// everything below it, so that `--sizes`, an export and the browse window answer "where did the
// space go" without summing the listing. This is the one description of its bytes; a test pins a
// worked example of them byte by byte.
//
// Numbers are little-endian; varint and zigzag as the index's (index_format.h). Entries are
// numbered as the index numbers them: every folder and file line, from 0, the root as chosen and
// denial lines left out. Folders are numbered in the order of their folder lines, as in the index.
//
//   header, 96 bytes: "QVSIZ001"; u64 entries; u64 folders; u64 lines of the list files (as the
//       record states them); 16 bytes the identity of the Save that wrote it (see
//       save_identity.h), the same as its record's and its index's; u64 the root's apparent size
//       and u64 its blocks counting each file once however many hard links it has below the root
//       (as `du -s` counts); u64 where the entry table begins; u64 where the folder rows begin;
//       u64 the file's size; u32 the checksum of the entry table; u32 the checksum of the
//       header's 92 bytes before it.
//   entry frames: the entries in order, kEntriesPerSizeFrame to a zstd frame, each: varint its
//       size in bytes, varint its blocks (units of 512 bytes, as st_blocks counts them), varint its
//       hard links, zigzag its modification time (seconds since the epoch) less the entry's before
//       it in the frame (0 before the first). An entry whose details could not be read has 0, 0,
//       1 and the time before.
//   entry table: for each frame u64 where it begins and u32 its checksum; then u64 where the last
//       one ends.
//   folder rows, 40 bytes each: u64 the folder's entry, u64 the apparent size and u64 the blocks
//       of the folder itself and of everything below it (each hard link counted, as `du -l`
//       counts), u64 the files and u64 the folders below it (at every depth, itself left out).
//   folder checksums: u32 the checksum of each kFoldersPerSizeChunk rows (the last perhaps fewer).
//   The file ends there.
//
// Folders lie in the listing depth first, a folder before everything below it: the folders below
// folder f are f + 1 up to f + its folders below, and its first child folder, if any, is f + 1.
//
// Checksums are FNV-1a, 64 bits folded to 32, as the index's (IndexChecksum).
//
// A worked example: a folder "/d" (4096 bytes, 8 blocks, 2 links, modified 10^9) holding a file of
// 3 bytes (8 blocks, 1 link, modified 10^9 + 2), of list files of 3 lines, makes 182 bytes:
//
//   0    51 56 53 49 5a 30 30 31  "QVSIZ001"
//   8    02 00 .. 00              entries 2             16   01 00 .. 00   folders 1
//   24   03 00 .. 00              lines 3               32   a0 .. af      the Save's identity
//   48   03 10 00 .. 00           4099 bytes once       56   10 00 .. 00   16 blocks once
//   64   76 00 .. 00              entry table at 118    72   8a 00 .. 00   folder rows at 138
//   80   b6 00 .. 00              size 182              88   b1 c3 9c 9b   the table's checksum
//   92   4b c9 1f 5e              the header's checksum
//   96   28 b5 2f fd 20 0d 69 00 00   entry frame 0, a zstd frame of one raw block of 13 bytes:
//        80 20 08 02 80 a8 d6 b9 07   4096 bytes, 8 blocks, 2 links, modified 10^9
//        03 08 01 04              3 bytes, 8 blocks, 1 link, 2 seconds after
//   118  60 00 .. 00 99 95 34 54  frame 0 at 96, its checksum;  76 00 .. 00  it ends at 118
//   138  00 00 .. 00  03 10 00 .. 00  10 00 .. 00  01 00 .. 00  00 00 .. 00
//                                 "/d": entry 0, 4099 bytes, 16 blocks, 1 file, no folder below
//   178  14 d0 3c c4              the checksum of the one chunk of folder rows
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/index_scratch.h"
#include "catalogue/save_identity.h"
#include "reading/file_system.h"
#include "runtime/text_output.h"
#include "runtime/unique_fd.h"

namespace quorvale::catalogue {

inline constexpr std::string_view kSizesMagic = "QVSIZ001";
inline constexpr std::size_t kSizesHeaderBytes = 96;
inline constexpr std::size_t kEntriesPerSizeFrame = 4096;
inline constexpr std::size_t kFolderTotalsBytes = 40;
inline constexpr std::size_t kFoldersPerSizeChunk = 1024;

// One entry's row.
struct EntrySize {
    std::uint64_t bytes = 0;
    std::uint64_t blocks = 0;  // of 512 bytes
    std::uint64_t links = 1;
    std::int64_t modified = 0;
};

// One folder's row: the folder and everything below it.
struct FolderTotals {
    std::uint64_t entry = 0;
    std::uint64_t bytes = 0;
    std::uint64_t blocks = 0;
    std::uint64_t files = 0;
    std::uint64_t folders = 0;
};

// Makes the file from the entries, told in listing order, while the walk goes on: entry rows are
// compressed a frame at a time and kept in a scratch file (in memory where there is none); the
// folders' totals are held (40 bytes a folder), and so are the files with more than one link
// (their device and inode, for the root's total that counts each once) up to a bound beyond which
// they too go to the scratch file in sorted runs.
class SizesWriter {
  public:
    // Files with several links held before a sorted run of them is written to the scratch file.
    static constexpr std::size_t kLinkedHeld = std::size_t{1} << 16;

    // `scratch`: a file open for reading and writing that nothing else uses; none: memory.
    explicit SizesWriter(runtime::UniqueFd scratch = {});
    ~SizesWriter();
    SizesWriter(const SizesWriter&) = delete;
    SizesWriter& operator=(const SizesWriter&) = delete;

    // The next entry: its full path as listed, whether it is a folder line, and its details (none
    // where the walk could not read them). Throws runtime::RuntimeError when the scratch file
    // cannot be written.
    void Add(std::string_view path, bool isFolder, const reading::EntryDetails* details);
    // Writes the file to `out`; returns its size. Throws runtime::RuntimeError.
    std::uint64_t Finish(std::uint64_t lines, const SaveIdentity& save, runtime::TextOutput& out);

  private:
    struct Open;
    struct Linked;
    void CloseFoldersNotAbove(std::string_view path);
    void CloseTop();
    void EndFrame();
    void SpillLinked();
    std::pair<std::uint64_t, std::uint64_t> CountedTwice();
    std::uint64_t Keep(std::string_view bytes);
    std::string Kept(std::uint64_t at, std::size_t size) const;

    runtime::UniqueFd scratchFd_;
    std::unique_ptr<ScratchFile> scratch_;
    std::string memory_;  // the scratch file's content where there is none
    std::vector<Open> open_;
    std::vector<FolderTotals> folders_;
    std::vector<Linked> linked_;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> linkedRuns_;  // where, how many
    std::string frame_;
    std::int64_t lastModified_ = 0;
    std::vector<std::pair<std::uint64_t, std::uint32_t>> frames_;  // where in scratch, bytes
    std::vector<std::uint32_t> frameChecksums_;
    std::uint64_t entries_ = 0;
    std::uint64_t rootBytes_ = 0;
    std::uint64_t rootBlocks_ = 0;
};

// A listing's sizes, open and checked: its header against the record, its entry table whole;
// every frame and chunk of rows against its checksum when read. A damaged file is an error
// (runtime::RuntimeError, "its sizes are damaged (why)"), never a crash or a wrong answer.
// Reads from one thread at a time.
class KeptSizes {
  public:
    KeptSizes(runtime::UniqueFd fd, std::uint64_t lines, const SaveIdentity& save);
    KeptSizes(const KeptSizes&) = delete;
    KeptSizes& operator=(const KeptSizes&) = delete;

    std::uint64_t Entries() const { return entries_; }
    std::uint64_t Folders() const { return folders_; }
    // The root's apparent size and blocks, each file counted once.
    std::uint64_t RootBytesOnce() const { return rootBytesOnce_; }
    std::uint64_t RootBlocksOnce() const { return rootBlocksOnce_; }
    // Folder `number`'s row.
    FolderTotals Folder(std::uint64_t number) const;
    // The rows of entries [first, first + count) appended to `out`.
    void EntrySizes(std::uint64_t first, std::uint64_t count, std::vector<EntrySize>& out) const;

  private:
    std::string Range(std::uint64_t at, std::uint64_t end) const;
    const std::vector<EntrySize>& Frame(std::uint64_t number) const;

    runtime::UniqueFd fd_;
    std::uint64_t entries_ = 0;
    std::uint64_t folders_ = 0;
    std::uint64_t rootBytesOnce_ = 0;
    std::uint64_t rootBlocksOnce_ = 0;
    std::uint64_t folderRowsAt_ = 0;
    std::string entryTable_;
    // The frame and the chunk of folder rows read last.
    mutable std::uint64_t frameNumber_ = UINT64_MAX;
    mutable std::vector<EntrySize> frame_;
    mutable std::uint64_t chunkNumber_ = UINT64_MAX;
    mutable std::string chunk_;
};

// "its sizes are damaged (`why`)".
[[noreturn]] void ThrowSizesDamaged(const std::string& why);

}  // namespace quorvale::catalogue
