#include "listing/listing_buffer.h"

#include "runtime/runtime_error.h"

namespace quorvale::listing {

void ListingBuffer::AddItem(std::string_view line) {
    if (ends_.size() >= static_cast<std::size_t>(kCapacity)) {
        throw runtime::RuntimeError(runtime::Overflow, "The listing is full: it holds " +
                                                           std::to_string(kCapacity) + " lines");
    }
    bytes_.append(line);
    ends_.push_back(bytes_.size());
}

void ListingBuffer::Clear() {
    bytes_.clear();
    ends_.clear();
    ++generation_;
}

}  // namespace quorvale::listing
