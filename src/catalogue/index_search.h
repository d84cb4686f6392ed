// A search of an index: it takes the trigrams of the literal parts of its pattern, reads their
// posting lists, and decodes and matches only the blocks in all of them.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

#include "catalogue/entry_matcher.h"
#include "catalogue/index_file.h"

namespace quorvale::catalogue {

// One entry an index search found: its path as printed (a folder's ending in "/").
using IndexMatch = std::function<bool(std::string_view path)>;

// Tells `found` each entry of `index` that `matcher` matches, in listing order, until it returns
// false; `check` is called every few blocks. Returns how many it told. Throws IndexDamaged when
// the index is damaged (perhaps after telling some entries). `blocksDecoded`, when given, is told
// how many blocks the search decoded.
std::uint64_t SearchIndex(const IndexFile& index, const EntryMatcher& matcher,
                          const IndexMatch& found, const std::function<void()>& check,
                          std::uint64_t* blocksDecoded = nullptr);

// The trigrams a path must hold to match `pattern` (folded as the index folds them): those of
// each run of plain bytes in it.
std::vector<std::uint32_t> TrigramsOfPattern(std::string_view pattern, bool isShellPattern);

}  // namespace quorvale::catalogue
