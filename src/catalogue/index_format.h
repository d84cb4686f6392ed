// The index a Save writes beside its list files (listing::kIndexName), so that a search reads a
// few blocks of it rather than every line of the list files, and a later Save knows which folders
// have not changed since. This is the one description of its bytes; the writer (index_writer.h),
// the reader (index_file.h) and the search (index_search.h) follow it, and a test pins a worked
// example of it byte by byte.
//
// Numbers are little-endian; "varint" is the 7-bits-a-byte encoding of LEB128, "zigzag" a signed
// number as a varint of (n << 1) ^ (n >> 63).
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
//   trigram table, by trigram: u32 trigram (three bytes of a path, the letters A-Z as a-z, the
//       first byte highest), u32 the checksum of its posting list, u64 where the list begins, u32
//       the checksum of the row's first 16 bytes; then u64 where the last list ends.
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
// Checksums are FNV-1a, 64 bits folded to 32 (IndexChecksum).
//
// A worked example: the entries "/d" (a folder, stamped), "/d/a.txt", "/d/Sub" (a folder),
// "/d/Sub/x\u240Ay" (a name holding the sign of a line break) and "/d/Sub/to" (a link), of list
// files of 6 lines and 52 bytes, make an index of 595 bytes:
//
//   0    51 56 49 44 58 30 30 33  "QVIDX003"
//   8    06 00 .. 00              lines 6               16   34 00 .. 00   bytes 52
//   24   05 00 .. 00              entries 5             32   01 00 00 00   blocks 1
//   36   11 00 00 00              trigrams 17           40   9e 00 .. 00   block table at 158
//   48   b2 00 .. 00              trigram table at 178  56   53 02 .. 00   size 595
//   64   02 00 .. 00              folders 2             72   3e 02 .. 00   folder table at 574
//   80   01 00 00 00              folder frames 1       84   60 0a 62 29   the list's checksum
//   88   52 02 .. 00              cut-short list at 594 96   a0 .. af      the Save's identity
//   112  20 3d 7e a4 00 00 00 00  the header's checksum, 0
//   120  28 b5 2f fd 20 1d e9 00 00   block 0, a zstd frame of one raw block of 29 bytes:
//        00 13 2f 64              0 shared, 2 << 3 | 1 << 1 | 1 (a folder), "/d"
//        02 32 2f 61 2e 74 78 74  2 shared, 6 << 3 | 1 << 1 (a file), "/a.txt"
//        03 1b 53 75 62           3 shared, "Sub", a folder
//        06 32 2f 78 e2 90 8a 79  6 shared, "/x\u240Ay"
//        07 14 74 6f              7 shared, 2 << 3 | 2 << 1 (a link), "to"
//   158  78 00 .. 00 4a 23 36 16  block 0 at 120, its checksum;  9e 00 .. 00  it ends at 158
//   178  17 rows of 20 bytes, ascending by trigram; the first: 78 74 2e 00 (".tx", 0x2e7478),
//        93 0a 62 29 its list's checksum, 0e 02 .. 00 its list at 526, ca 10 1e b9 the row's
//        checksum; after the last row 1f 02 .. 00: the lists end at 543
//   526  00 x 17                  each trigram's list: block 0
//   543  28 b5 2f fd 20 16 b1 00 00   folder frame 0, a raw block of 22 bytes:
//        00 00 01 82 20 04 80 a8 d6 b9 07 01 06 01 64   "/d": entry 0, no parent, stamped, device
//                                 0x801, inode 2, modified 10^9, changed -1, read at 3, name "d"
//        02 01 00 03 53 75 62     "Sub": entry 2, its parent the folder before, not stamped
//   574  1f 02 .. 00 36 76 32 76  frame 0 at 543, its checksum;  3e 02 .. 00  it ends at 574
//   594  01                       the cut-short list: folder 1 (a name it holds cannot be told)
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "runtime/runtime_error.h"

namespace quorvale::catalogue {

inline constexpr std::string_view kIndexMagic = "QVIDX003";
inline constexpr std::size_t kIndexHeaderBytes = 120;
inline constexpr std::size_t kIndexSaveIdentityAt = 96;
inline constexpr std::size_t kIndexHeaderChecksumAt = 112;
inline constexpr std::size_t kEntriesPerBlock = 512;
inline constexpr std::size_t kFoldersPerFrame = 1024;
inline constexpr std::size_t kFrameRowBytes = 12;    // u64 offset, u32 checksum
inline constexpr std::size_t kTrigramRowBytes = 20;  // u32 trigram, u32 list's checksum,
                                                     // u64 offset, u32 the row's own checksum

// The fields of the header, by where they lie in it.
namespace index_header {
inline constexpr std::size_t kLines = 8;
inline constexpr std::size_t kBytes = 16;
inline constexpr std::size_t kEntries = 24;
inline constexpr std::size_t kBlocks = 32;
inline constexpr std::size_t kTrigrams = 36;
inline constexpr std::size_t kBlockTable = 40;
inline constexpr std::size_t kTrigramTable = 48;
inline constexpr std::size_t kSize = 56;
inline constexpr std::size_t kFolders = 64;
inline constexpr std::size_t kFolderTable = 72;
inline constexpr std::size_t kFolderFrames = 80;
inline constexpr std::size_t kCutShortChecksum = 84;
inline constexpr std::size_t kCutShortAt = 88;
}  // namespace index_header

// An index read back is not what a Save writes: the search goes on the list files instead.
class IndexDamaged : public runtime::RuntimeError {
  public:
    explicit IndexDamaged(const std::string& why);
};

// "its index is damaged (`why`)".
[[noreturn]] void ThrowIndexDamaged(const std::string& why);

// A byte of a path as the trigrams hold it: the letters A-Z as a-z.
inline unsigned char FoldForTrigram(unsigned char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// The trigram of the three bytes of `text` at `at`.
inline std::uint32_t TrigramAt(std::string_view text, std::size_t at) {
    return static_cast<std::uint32_t>(FoldForTrigram(static_cast<unsigned char>(text[at]))) << 16 |
           static_cast<std::uint32_t>(FoldForTrigram(static_cast<unsigned char>(text[at + 1])))
               << 8 |
           FoldForTrigram(static_cast<unsigned char>(text[at + 2]));
}

// FNV-1a, 64 bits folded to 32: what tells a damaged block, list or row from a whole one.
std::uint32_t IndexChecksum(std::string_view bytes);

// `bytes` as one zstd frame, which names its own size. Throws runtime::RuntimeError.
std::string CompressFrame(const std::string& bytes);
// What a frame holds; a frame that is not whole, or that would be larger than a Save makes one,
// is damaged. Throws IndexDamaged.
std::string DecompressFrame(std::string_view frame);

void PutLongVarint(std::string& out, std::uint64_t value);

// Most numbers an index holds take one byte: those are put in place here.
inline void PutVarint(std::string& out, std::uint64_t value) {
    if (value < 0x80) {
        out += static_cast<char>(value);
    } else {
        PutLongVarint(out, value);
    }
}

inline void PutZigzag(std::string& out, std::int64_t value) {
    PutVarint(out,
              (static_cast<std::uint64_t>(value) << 1) ^ static_cast<std::uint64_t>(value >> 63));
}

template <typename Number>
void PutFixed(std::string& out, Number value) {
    char bytes[sizeof(Number)];
    std::memcpy(bytes, &value, sizeof(Number));
    out.append(bytes, sizeof(Number));
}

// The number at `at` of bytes read from the index (the caller checked that it lies in them).
template <typename Number>
Number FixedAt(std::string_view bytes, std::size_t at) {
    Number value;
    std::memcpy(&value, bytes.data() + at, sizeof(Number));
    return value;
}

// Puts `value` at `at` of `bytes`, which already hold that many bytes there.
template <typename Number>
void SetFixedAt(std::string& bytes, std::size_t at, Number value) {
    std::memcpy(bytes.data() + at, &value, sizeof(Number));
}

// A varint of `bytes` at `at`, which it moves past it. Throws IndexDamaged.
std::uint64_t VarintAt(std::string_view bytes, std::size_t& at);
std::int64_t ZigzagAt(std::string_view bytes, std::size_t& at);

// The entry of a decoded block at `at`, which it moves past it: its path into `path` (coded
// against the entry before, which `path` holds), and the rest of its code returned (kind << 1 |
// 1 for a folder). Throws IndexDamaged.
std::uint64_t NextIndexedPath(std::string_view block, std::size_t& at, std::string& path);

// What an entry is (see reading::Enumeration::CurrentKind), in the two bits the index keeps of it,
// and back.
std::uint64_t KindBits(char kind);
char KindOf(std::uint64_t bits, bool isFolder);

}  // namespace quorvale::catalogue
