// The index a Save writes beside its list files (listing::kIndexName), so that a search reads a
// few blocks of it rather than every line of the list files. Its format (numbers little-endian,
// "varint" the 7-bits-a-byte encoding of LEB128):
//
//   header, 64 bytes: "QVIDX001"; u64 lines and u64 bytes of the list files it was made from (as
//       the record states them); u64 entries; u32 blocks; u32 trigrams; u64 where the block table
//       begins; u64 where the trigram table begins; u64 the file's size.
//   blocks: the listing's entries in listing order, kEntriesPerBlock to a block, each block one
//       zstd frame of its entries, each entry its full path as the listing wrote it (a folder's
//       without its closing "/") coded against the entry before it in the block: varint bytes
//       shared with it, varint (bytes that follow << 1 | 1 for a folder), those bytes.
//   block table: for each block u64 where its frame begins and u32 the frame's checksum; then
//       u64 where the last one ends.
//   trigram table, by trigram: u32 trigram (three bytes of a path, the letters A-Z as a-z), u32
//       the checksum of its posting list, u64 where the list begins, u32 the checksum of the
//       row's first 16 bytes; then u64 where the last list ends.
//   posting lists: the blocks whose paths hold the trigram, ascending, as varint differences.
//
// A search takes the trigrams of the literal parts of its pattern, reads their posting lists, and
// decodes and matches only the blocks in all of them. Everything read is checked against the
// file's bounds and its checksum (FNV-1a, 64 bits folded to 32): a damaged index is an error
// (IndexDamaged), never a crash or a wrong answer.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/runtime_error.h"

namespace quorvale::catalogue {

class EntryMatcher;

inline constexpr std::size_t kEntriesPerBlock = 512;

// Builds an index from a listing's entries, given in listing order.
class ListingIndexBuilder {
  public:
    // `path`: the entry's full path as a search matches it (a folder's without its closing "/").
    void Add(std::string_view path, bool isFolder);
    // The index's bytes, for a listing whose list files hold `lines` lines and `bytes` bytes.
    std::string Finish(std::uint64_t lines, std::uint64_t bytes);

  private:
    void EndBlock();
    void NoteTrigram(std::uint32_t trigram);
    std::unique_ptr<std::uint64_t[]> SortedPostings();

    std::vector<std::string> blocks_;      // each block's bytes, apart: none is ever copied to grow
    std::deque<std::uint64_t> postings_;   // trigram << 32 | block, block by block
    std::vector<std::uint32_t> trigrams_;  // of the block being built, each once
    // The trigrams the block being built holds, as a set (kNoTrigram: an empty slot).
    static constexpr std::uint32_t kNoTrigram = 0xFFFFFFFF;
    std::vector<std::uint32_t> inThisBlock_ = std::vector<std::uint32_t>(4096, kNoTrigram);
    std::string previous_;
    std::size_t inBlock_ = 0;
    std::uint64_t entries_ = 0;
};

// An index read back is not what a Save writes: the search goes on the list files instead.
class IndexDamaged : public runtime::RuntimeError {
  public:
    explicit IndexDamaged(const std::string& why);
};

// One entry an index search found: its path as printed (a folder's ending in "/").
using IndexMatch = std::function<bool(std::string_view path)>;

// Searches the index open as `fd` (`size` bytes) of a listing whose list files hold `lines` lines
// and `listBytes` bytes, reading only the parts it needs: tells `found` each entry `matcher`
// matches, in listing order, until it returns false; `check` is called every few blocks. Returns
// how many it told. Throws IndexDamaged when the index is not one of that listing, or damaged
// (perhaps after telling some entries).
std::uint64_t SearchIndex(int fd, std::uint64_t size, std::uint64_t lines, std::uint64_t listBytes,
                          const EntryMatcher& matcher, const IndexMatch& found,
                          const std::function<void()>& check);

// The trigrams a path must hold to match `query`'s pattern (folded as the index folds them):
// those of each run of plain bytes in it.
std::vector<std::uint32_t> TrigramsOfPattern(std::string_view pattern, bool isShellPattern);

}  // namespace quorvale::catalogue
