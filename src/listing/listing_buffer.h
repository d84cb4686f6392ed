// The listing buffer: the ordered lines one walk produces, held until the list-file writer saves
// and empties them. It is the only store of the listing; the window shows it. Lines are the names'
// own bytes, nothing converted, kept end to end in one block so that a line costs no allocation.
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
    std::int16_t ListCount() const { return static_cast<std::int16_t>(ends_.size()); }
    // Line `index`, for 0 <= index < ListCount(); valid until the next AddItem or Clear.
    std::string_view Line(std::size_t index) const {
        const std::size_t begin = index == 0 ? 0 : ends_[index - 1];
        return std::string_view(bytes_).substr(begin, ends_[index] - begin);
    }
    // Removes every line.
    void Clear();
    // Counts the Clear calls, so a view can tell that the lines it shows are gone.
    std::uint64_t Generation() const { return generation_; }

  private:
    std::string bytes_;              // every line, end to end
    std::vector<std::size_t> ends_;  // where each line ends in bytes_
    std::uint64_t generation_ = 0;
};

}  // namespace quorvale::listing
