#include "catalogue/index_search.h"

#include <algorithm>
#include <iterator>
#include <string>

namespace quorvale::catalogue {

namespace {

// Blocks searched between two calls of the caller's check.
constexpr std::size_t kBlocksBetweenChecks = 32;

// The rows of an index's trigram table, each checked as it is looked at, so a damaged one cannot
// lead a search astray unseen. A table of up to kWholeTableBytes is read in one go; a larger one a
// row at a time, as a search looks for its trigrams in it.
class TrigramRows {
  public:
    explicit TrigramRows(const IndexFile& index) : index_(index), header_(index.Header()) {
        const std::uint64_t bytes = std::uint64_t{header_.trigrams} * kTrigramRowBytes + 8;
        if (bytes <= kWholeTableBytes) {
            whole_ = index.Range(header_.trigramTable, header_.trigramTable + bytes);
        }
    }
    // Row `index` (of the header's count) with what follows it up to the offset after it: the
    // next row's offset, or the end the table is followed by.
    std::string_view Row(std::uint32_t index) {
        const std::uint64_t at = std::uint64_t{index} * kTrigramRowBytes;
        const std::uint64_t length =
            index + 1 == header_.trigrams ? kTrigramRowBytes + 8 : kTrigramRowBytes + 16;
        if (whole_.empty()) {
            row_ = index_.Range(header_.trigramTable + at, header_.trigramTable + at + length);
        } else {
            row_.assign(std::string_view(whole_).substr(at, length));
        }
        if (IndexChecksum(std::string_view(row_).substr(0, 16)) !=
            FixedAt<std::uint32_t>(row_, 16)) {
            ThrowIndexDamaged("a row of its trigram table");
        }
        return row_;
    }
    // The offset that follows row `index`.
    std::uint64_t EndOf(std::string_view row, std::uint32_t index) const {
        return FixedAt<std::uint64_t>(
            row, index + 1 == header_.trigrams ? kTrigramRowBytes : kTrigramRowBytes + 8);
    }

  private:
    static constexpr std::uint64_t kWholeTableBytes = 1 << 20;

    const IndexFile& index_;
    const IndexHeader& header_;
    std::string whole_;
    std::string row_;
};

// The posting list of `trigram`, decoded; empty when no block holds it.
std::vector<std::uint32_t> PostingsOf(const IndexFile& index, TrigramRows& rows,
                                      std::uint32_t trigram) {
    std::uint32_t low = 0;
    std::uint32_t high = index.Header().trigrams;
    while (low < high) {
        const std::uint32_t middle = low + (high - low) / 2;
        if (FixedAt<std::uint32_t>(rows.Row(middle), 0) < trigram) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    std::vector<std::uint32_t> blocks;
    if (low == index.Header().trigrams) return blocks;
    const std::string_view row = rows.Row(low);
    if (FixedAt<std::uint32_t>(row, 0) != trigram) return blocks;
    // The list ends where the next one begins.
    const std::string list = index.Range(FixedAt<std::uint64_t>(row, 8), rows.EndOf(row, low));
    if (IndexChecksum(list) != FixedAt<std::uint32_t>(row, 4)) ThrowIndexDamaged("a posting list");
    std::uint64_t block = 0;
    for (std::size_t at = 0; at < list.size();) {
        block += VarintAt(list, at);
        if (block >= index.Header().blocks || (!blocks.empty() && block <= blocks.back())) {
            ThrowIndexDamaged("a posting list");
        }
        blocks.push_back(static_cast<std::uint32_t>(block));
    }
    return blocks;
}

// The blocks that may hold a match: those in the posting lists of every trigram, or all.
std::vector<std::uint32_t> CandidateBlocks(const IndexFile& index,
                                           const std::vector<std::uint32_t>& trigrams) {
    std::vector<std::uint32_t> candidates;
    if (trigrams.empty()) {
        candidates.resize(index.Header().blocks);
        for (std::uint32_t block = 0; block < index.Header().blocks; ++block)
            candidates[block] = block;
        return candidates;
    }
    std::vector<std::vector<std::uint32_t>> lists;
    TrigramRows rows(index);
    for (const std::uint32_t trigram : trigrams) {
        lists.push_back(PostingsOf(index, rows, trigram));
        if (lists.back().empty()) return {};
    }
    std::sort(lists.begin(), lists.end(),
              [](const auto& a, const auto& b) { return a.size() < b.size(); });
    candidates = std::move(lists.front());
    for (std::size_t i = 1; i < lists.size() && !candidates.empty(); ++i) {
        std::vector<std::uint32_t> both;
        std::set_intersection(candidates.begin(), candidates.end(), lists[i].begin(),
                              lists[i].end(), std::back_inserter(both));
        candidates = std::move(both);
    }
    return candidates;
}

// Tells `found` the entries of one block `matcher` matches; false once `found` asked to stop.
bool SearchBlock(std::string_view block, const EntryMatcher& matcher, const IndexMatch& found,
                 std::string& path, std::uint64_t& count) {
    path.clear();
    for (std::size_t at = 0; at < block.size();) {
        const std::uint64_t rest = NextIndexedPath(block, at, path);
        if (!matcher.Matches(path)) continue;
        ++count;
        const bool isFolder = (rest & 1) != 0;
        if (!isFolder || path.ends_with('/')) {
            if (!found(path)) return false;
            continue;
        }
        path += '/';
        const bool more = found(path);
        path.pop_back();
        if (!more) return false;
    }
    return true;
}

}  // namespace

std::vector<std::uint32_t> TrigramsOfPattern(std::string_view pattern, bool isShellPattern) {
    std::vector<std::uint32_t> trigrams;
    std::string run;
    const auto endRun = [&] {
        for (std::size_t at = 0; at + 3 <= run.size(); ++at) trigrams.push_back(TrigramAt(run, at));
        run.clear();
    };
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        const char c = pattern[i];
        if (!isShellPattern) {
            run += c;
        } else if (c == '\\' && i + 1 < pattern.size()) {
            run += pattern[++i];
        } else if (c == '*' || c == '?' || c == '[') {
            // A bracket may close or not; what follows it is not known to be plain.
            endRun();
            if (c == '[') break;
        } else {
            run += c;
        }
    }
    endRun();
    std::sort(trigrams.begin(), trigrams.end());
    trigrams.erase(std::unique(trigrams.begin(), trigrams.end()), trigrams.end());
    return trigrams;
}

std::uint64_t SearchIndex(const IndexFile& index, const EntryMatcher& matcher,
                          const IndexMatch& found, const std::function<void()>& check,
                          std::uint64_t* blocksDecoded) {
    const std::vector<std::uint32_t> candidates = CandidateBlocks(
        index, TrigramsOfPattern(matcher.Query().pattern, matcher.IsShellPattern()));
    std::uint64_t count = 0;
    std::string path;
    std::size_t searched = 0;
    for (const std::uint32_t block : candidates) {
        if (check && ++searched % kBlocksBetweenChecks == 0) check();
        if (blocksDecoded != nullptr) ++*blocksDecoded;
        if (!SearchBlock(index.Frame(index.Header().blockTable, block), matcher, found, path,
                         count))
            break;
    }
    return count;
}

}  // namespace quorvale::catalogue
