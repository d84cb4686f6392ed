// The listing buffer: the ordered lines one walk produces, held until the list-file writer saves
// and empties them. It is the only store of the listing; the window shows it. Lines are the names'
// own bytes, nothing converted, kept end to end in large blocks: a line costs no allocation of its
// own, and the buffer never copies what it holds to grow.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quorvale::listing {

class ListingBuffer {
  public:
    // The most lines the 16-bit line count can express.
    static constexpr std::int16_t kCapacity = 32767;

    // Appends a line at the end; fails with Overflow when the buffer already holds kCapacity lines.
    void AddItem(std::string_view line);
    std::int16_t ListCount() const { return static_cast<std::int16_t>(spans_.size()); }
    // Line `index`, for 0 <= index < ListCount(); valid until the next AddItem or Clear.
    std::string_view Line(std::size_t index) const {
        const Span& span = spans_[index];
        return std::string_view(blocks_[span.block]).substr(span.begin, span.size);
    }
    // Takes room for `lines` lines at once (their places, not their bytes).
    void Reserve(std::size_t lines) { spans_.reserve(lines); }
    // Removes every line.
    void Clear();
    // Counts the Clear calls, so a view can tell that the lines it shows are gone.
    std::uint64_t Generation() const { return generation_; }

  private:
    // Twelve bytes a line: a buffer holds fewer than kCapacity blocks, and a line (and so its
    // place in a block that holds it or 1 MiB) fits in 32 bits, or is refused.
    struct Span {
        std::uint32_t block;
        std::uint32_t begin;
        std::uint32_t size;
    };
    static constexpr std::size_t kBlockSize = 1 << 20;

    std::vector<std::string> blocks_;  // lines end to end; a block is never reallocated
    std::vector<Span> spans_;          // where each line is
    std::uint64_t generation_ = 0;
};

}  // namespace quorvale::listing
