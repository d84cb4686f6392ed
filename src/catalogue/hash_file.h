// The content hashes a Save with hashes keeps beside its list files, in two files: by entry (what
// each file held, in listing order, for a verification and for a later Save that carries hashes
// over) and by size and hash (for lookups: which files hold the same content). This is the one
// description of their bytes; a test pins a worked example of them byte by byte.
//
// Numbers are little-endian. Both files begin with the same header, 64 bytes:
//   magic, 8 bytes: "QVHSH001" (by entry) or "QVHSZ001" (by size and hash); u8 the algorithm (1
//   XXH3-128, 2 SHA-256, see reading::HashAlgorithm); u8 the bytes of a hash (16, 32); u16 0; u32
//   the bytes of a row; u64 rows; u64 lines of the list files (as the record states them); 16
//   bytes the identity of the Save that wrote them (see save_identity.h), the same as its record's
//   and its index's; u32 the checksum of every row's bytes; u32 0; u32 the checksum of the
//   header's 56 bytes before it; u32 0.
// Then the rows, one per regular file that was hashed (a file that changed while it was read, or
// could not be read, has none; the record names them):
//   by entry, ascending by entry: u64 the entry (the number of its line in the listing, from 0,
//       the root as chosen), u64 size, u64 device, u64 inode, i64 modified, i64 changed, i64 when
//       its reading began (nanoseconds since the epoch), the hash (as `xxhsum -H2` or `sha256sum`
//       print it in hexadecimal: XXH3-128 in its big-endian canonical form).
//   by size and hash, ascending by size, then by the hash's bytes, then by entry: u64 size, the
//       hash, u64 the entry.
//
// Checksums are FNV-1a, 64 bits folded to 32, as the index's (IndexChecksum).
//
// A worked example: one file, entry 2, of 3 bytes, device 0x801, inode 12, modified 10^9, changed
// 10^9 + 5, read at 2 * 10^9, its XXH3-128 9d7d4b5b4c1cae5b0e5e7b3e1a0b1b36 (bytes for the
// example, not the hash of any content), of list files of 4 lines, by entry (136 bytes):
//
//   0    51 56 48 53 48 30 30 31  "QVHSH001"
//   8    01 10 00 00 48 00 00 00  XXH3-128, 16 bytes a hash, rows of 72 bytes
//   16   01 00 .. 00              rows 1               24   04 00 .. 00   lines 4
//   32   a0 .. af                 the Save's identity
//   48   3e 36 64 3b  00 00 00 00 the rows' checksum, 0
//   56   65 d4 a8 33  00 00 00 00 the header's checksum, 0
//   64   02 00 .. 00  03 00 .. 00  01 08 00 .. 00  0c 00 .. 00   entry 2, size 3, device, inode
//   96   00 ca 9a 3b 00 .. 00  05 ca 9a 3b 00 .. 00  00 94 35 77 00 .. 00  the three times
//   120  9d 7d 4b 5b 4c 1c ae 5b 0e 5e 7b 3e 1a 0b 1b 36   the hash
//
// and by size and hash (96 bytes): "QVHSZ001", 01 10 00 00, rows of 32 bytes (20 00 00 00), the
// same rows, lines and identity, the rows' checksum 76 57 d2 f4, 0, the header's 13 27 37 7c, 0;
// then 03 00 .. 00 (size 3), the hash, 02 00 .. 00 (entry 2).
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "catalogue/save_identity.h"
#include "reading/content_hash.h"
#include "runtime/text_output.h"
#include "runtime/unique_fd.h"

namespace quorvale::catalogue {

inline constexpr std::string_view kHashesByEntryMagic = "QVHSH001";
inline constexpr std::string_view kHashesBySizeMagic = "QVHSZ001";
inline constexpr std::size_t kHashHeaderBytes = 64;

// One file's row by entry.
struct HashRow {
    std::uint64_t entry = 0;
    std::uint64_t size = 0;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t modified = 0;
    std::int64_t changed = 0;
    std::int64_t readAt = 0;
    std::string hash;  // HashBytes of the algorithm
};

class KeptHashes;
class HashesBySize;

// Writes both files of a Save's hashes: rows are added in entry order while the walk goes on and
// kept in scratch files (in memory where there are none), never all in memory at once; Finish
// writes the header and the rows, and the rows sorted by size and hash (sorted in runs that are
// merged), to the two outputs.
class HashFileWriter {
  public:
    // `rows`, `runs`: scratch files (see runtime::FolderLock::OpenScratchFile), or none.
    HashFileWriter(reading::HashAlgorithm algorithm, runtime::UniqueFd rows,
                   runtime::UniqueFd runs);
    ~HashFileWriter();
    HashFileWriter(const HashFileWriter&) = delete;
    HashFileWriter& operator=(const HashFileWriter&) = delete;

    // Before the first row: the hashes of the Save whose listing this one is made again from
    // (checked whole), and its rows by size (none: not at hand). As long as every row added is the
    // earlier Save's row in the same place, the rows are only compared with those: a tree listed
    // again unchanged takes their checksum and copies their rows by size (once these were read
    // whole and found right) instead of summing and sorting its own. From the first row that
    // differs on, the rows so far are read back and summed and sorted as every other.
    void Follow(const KeptHashes& earlier, HashesBySize* earlierBySize);
    // Adds a row; entries ascending. Throws runtime::RuntimeError when a scratch file fails.
    void Add(const HashRow& row);
    std::uint64_t Rows() const { return rows_; }
    // Writes the files; what the outputs throw passes through.
    void Finish(std::uint64_t lines, const SaveIdentity& save, runtime::TextOutput& byEntry,
                runtime::TextOutput& bySize);

  private:
    class Impl;
    reading::HashAlgorithm algorithm_;
    std::uint64_t rows_ = 0;
    std::unique_ptr<Impl> impl_;
};

// A Save's hashes read back, checked whole before any row is used: its header (magic, algorithm,
// checksum), that it is the Save's whose record is given (lines and identity), and every row's
// checksum. Throws runtime::RuntimeError ("its hashes are damaged (why)").
class KeptHashes {
  public:
    // kLater: only the header is checked here; the rows are when CheckRows is called (on any
    // thread, nothing else using them meanwhile), and Find carries nothing before.
    enum class RowsCheck { kNow, kLater };
    KeptHashes(runtime::UniqueFd byEntry, std::uint64_t lines, const SaveIdentity& save,
               RowsCheck check = RowsCheck::kNow);
    // Checks every row's bytes against the header's checksum, a window at a time, giving up once
    // `stop` is set. Throws runtime::RuntimeError ("its hashes are damaged (why)").
    void CheckRows(const std::atomic<bool>* stop = nullptr);
    bool RowsChecked() const { return rowsChecked_; }
    KeptHashes(const KeptHashes&) = delete;
    KeptHashes& operator=(const KeptHashes&) = delete;

    reading::HashAlgorithm Algorithm() const { return algorithm_; }
    std::uint64_t Rows() const { return rows_; }
    std::size_t RowBytes() const { return rowBytes_; }
    // The checksum of every row's bytes, as the header states it and the rows were found to have.
    std::uint32_t RowsChecksum() const { return rowsChecksum_; }
    // The bytes of the rows from the row at `first` (an index, from 0) on, as many whole rows as a
    // window holds, into `bytes` (empty after the last). Throws runtime::RuntimeError.
    void ReadRows(std::uint64_t first, std::string& bytes) const;
    // Each row, in entry order.
    void ForEach(const std::function<void(const HashRow&)>& row) const;

    // The rows one after the other, in entry order, read a window at a time.
    class InOrder {
      public:
        explicit InOrder(const KeptHashes& hashes) : hashes_(&hashes) {}
        // The row of `entry`, if it has one; entries asked for ascending.
        const HashRow* Of(std::uint64_t entry);
        // The next row, not passed until Pass; none after the last.
        const HashRow* Peek();
        void Pass() { holding_ = false; }
        // Goes on from the row at `row` (an index, from 0), whatever was read before.
        void SkipTo(std::uint64_t row);

      private:
        const KeptHashes* hashes_;
        std::uint64_t next_ = 0;  // the index of the row after `row_`
        std::string window_;
        std::size_t used_ = 0;
        HashRow row_;
        bool holding_ = false;  // row_ is a row not yet passed
    };

    // For carrying hashes over: the row of the file on `device` with `inode`, if it has one (valid
    // until the next call). Built on the first call that does not find the row after the one
    // found last: a table of 12 bytes a row, rows read back from the file.
    const HashRow* Find(std::uint64_t device, std::uint64_t inode);

  private:
    void ForEachBlock(const std::function<void(std::string_view)>& block) const;
    HashRow Decode(std::string_view bytes) const;
    void DecodeInto(std::string_view bytes, HashRow& row) const;

    runtime::UniqueFd fd_;
    reading::HashAlgorithm algorithm_ = reading::HashAlgorithm::kNone;
    std::size_t hashBytes_ = 0;
    std::size_t rowBytes_ = 0;
    std::uint64_t rows_ = 0;
    std::uint32_t rowsChecksum_ = 0;
    bool rowsChecked_ = false;
    struct ByInode {
        std::uint64_t inode;
        std::uint32_t row;
    } __attribute__((packed));
    std::vector<ByInode> byInode_;
    bool indexed_ = false;
    InOrder following_{*this};  // the rows after the one Find found last
    HashRow found_;             // the row Find found through the table
};

// A Save's hashes by size and hash, read from the first row to the last a window at a time: its
// header checked when it is opened (as KeptHashes checks it), its rows' checksum once the last row
// was read, before Next says there is none. Throws runtime::RuntimeError ("its hashes are damaged
// (why)").
class HashesBySize {
  public:
    HashesBySize(runtime::UniqueFd bySize, std::uint64_t lines, const SaveIdentity& save);
    ~HashesBySize();
    HashesBySize(const HashesBySize&) = delete;
    HashesBySize& operator=(const HashesBySize&) = delete;

    reading::HashAlgorithm Algorithm() const { return algorithm_; }
    std::uint64_t Rows() const { return rows_; }

    struct Row {
        std::uint64_t size = 0;
        std::string_view hash;  // valid until the next call
        std::uint64_t entry = 0;
        // The hash's first 16 bytes as two big-endian numbers: rows compare by size, these, and
        // then the rest of the hash.
        std::uint64_t high = 0;
        std::uint64_t low = 0;
    };
    // The next row, ascending by size, hash and entry; none after the last.
    std::optional<Row> Next();

    // For a Save whose rows are all these rows: whether every row can be read and their checksum
    // is the header's; then the rows' bytes as the file holds them, a window at a time. Both read
    // the file anew, whatever Next read.
    bool RowsAreWhole() const;
    void ForEachWindow(const std::function<void(std::string_view)>& window) const;
    std::uint32_t RowsChecksum() const { return rowsChecksum_; }

  private:
    runtime::UniqueFd fd_;
    reading::HashAlgorithm algorithm_ = reading::HashAlgorithm::kNone;
    std::size_t hashBytes_ = 0;
    std::size_t rowBytes_ = 0;
    std::uint64_t rows_ = 0;
    std::uint32_t rowsChecksum_ = 0;
    std::uint64_t next_ = 0;  // the index of the next row to read into the window
    std::string window_;
    std::size_t used_ = 0;
    struct Checksum;
    std::unique_ptr<Checksum> checksum_;
    bool checked_ = false;
};

}  // namespace quorvale::catalogue
