#include "listing/listing_buffer.h"

#include <algorithm>

#include "runtime/runtime_error.h"

namespace quorvale::listing {

void ListingBuffer::AddItem(std::string_view line) {
    if (spans_.size() >= static_cast<std::size_t>(kCapacity)) {
        throw runtime::RuntimeError(runtime::Overflow, "The listing is full: it holds " +
                                                           std::to_string(kCapacity) + " lines");
    }
    if (line.size() > UINT32_MAX - kBlockSize) {
        throw runtime::RuntimeError(runtime::Overflow, "A line of the listing is too long (" +
                                                           std::to_string(line.size()) + " bytes)");
    }
    if (blocks_.empty() || blocks_.back().capacity() - blocks_.back().size() < line.size()) {
        blocks_.emplace_back();
        blocks_.back().reserve(std::max(kBlockSize, line.size()));
    }
    std::string& block = blocks_.back();
    spans_.push_back({static_cast<std::uint32_t>(blocks_.size() - 1),
                      static_cast<std::uint32_t>(block.size()),
                      static_cast<std::uint32_t>(line.size())});
    block.append(line);
}

void ListingBuffer::Clear() {
    // The first block stays for the next lines.
    if (blocks_.size() > 1) blocks_.resize(1);
    if (!blocks_.empty()) blocks_.front().clear();
    spans_.clear();
    ++generation_;
}

}  // namespace quorvale::listing
