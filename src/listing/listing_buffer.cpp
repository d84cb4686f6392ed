#include "listing/listing_buffer.h"

#include "runtime/runtime_services.h"

namespace quorvale::listing {

using runtime::RuntimeError;

void ListingBuffer::AddItem(std::string_view line) {
    if (lines_.size() >= static_cast<std::size_t>(kCapacity)) {
        throw RuntimeError(runtime::Overflow,
                           "The listing is full: it holds " + std::to_string(kCapacity) + " lines");
    }
    lines_.emplace_back(line);
}

std::int16_t ListingBuffer::ListCount() const {
    return static_cast<std::int16_t>(lines_.size());
}

void ListingBuffer::SetListIndex(std::int16_t index) {
    if (index < kNoSelection || index >= ListCount()) {
        throw RuntimeError(runtime::InvalidPropertyValue,
                           "Line " + std::to_string(index) + " is not in the listing of " +
                               std::to_string(ListCount()) + " lines");
    }
    listIndex_ = index;
}

const std::string& ListingBuffer::Text() const {
    static const std::string kEmpty;
    if (listIndex_ == kNoSelection) return kEmpty;
    return lines_[static_cast<std::size_t>(listIndex_)];
}

void ListingBuffer::Clear() {
    lines_.clear();
    listIndex_ = kNoSelection;
    ++generation_;
}

void ListingBuffer::SetCountCaption(std::string_view caption) {
    countCaption_.assign(caption);
}

}  // namespace quorvale::listing
