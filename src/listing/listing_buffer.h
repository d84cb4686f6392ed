// The listing buffer: the ordered lines one walk produces, held until the list-file writer saves
// and empties them. It is the only store of the listing; the window shows it, and the count display
// beside it shows the running line count. Lines are the names' own bytes: nothing is converted.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvale::listing {

class ListingBuffer {
  public:
    // The most lines the 16-bit line count can express.
    static constexpr std::int16_t kCapacity = 32767;
    static constexpr std::int16_t kNoSelection = -1;

    ListingBuffer() = default;
    virtual ~ListingBuffer() = default;
    ListingBuffer(const ListingBuffer&) = delete;
    ListingBuffer& operator=(const ListingBuffer&) = delete;

    // Appends a line at the end; fails with Overflow when the buffer already holds kCapacity lines.
    virtual void AddItem(std::string_view line);
    virtual std::int16_t ListCount() const;
    virtual std::int16_t ListIndex() const { return listIndex_; }
    // Selects line `index`; fails with InvalidPropertyValue outside 0..ListCount-1 (or -1 for
    // none).
    virtual void SetListIndex(std::int16_t index);
    // The selected line, or the empty text when nothing is selected.
    virtual const std::string& Text() const;
    // Removes every line; the selection becomes none.
    virtual void Clear();

    // The count display beside the list: the walk gives it the line count as a plain decimal
    // number, the Save command the empty text.
    virtual void SetCountCaption(std::string_view caption);
    const std::string& CountCaption() const { return countCaption_; }

    // Read access for a view; `Line(i)` for 0 <= i < ListCount().
    const std::string& Line(std::size_t index) const { return lines_[index]; }
    // Counts the Clear calls, so a view can tell that the lines it shows are gone.
    std::uint64_t Generation() const { return generation_; }

  private:
    std::vector<std::string> lines_;
    std::int16_t listIndex_ = kNoSelection;
    std::string countCaption_;
    std::uint64_t generation_ = 0;
};

}  // namespace quorvale::listing
