#include "catalogue/background_search.h"

#include <utility>

#include "runtime/thread_start.h"

namespace quorvale::catalogue {

BackgroundSearch::BackgroundSearch(std::vector<std::string> folders, FindQuery query,
                                   std::size_t mostKept)
    : mostKept_(mostKept) {
    thread_ = runtime::StartThread([this, folders, query] { Run(folders, query); });
    if (!thread_) Run(folders, query);  // no thread to be had: searched here, at once
}

BackgroundSearch::~BackgroundSearch() {
    Stop();
    if (thread_ && thread_->joinable()) thread_->join();
}

std::deque<BackgroundSearch::Handed> BackgroundSearch::Take() {
    std::deque<Handed> taken;
    const std::lock_guard lock(handedMutex_);
    taken.swap(handed_);
    return taken;
}

void BackgroundSearch::Check() const {
    if (stop_.load(std::memory_order_relaxed)) throw Stopped{};
}

void BackgroundSearch::Hand(Handed handed) {
    const std::lock_guard lock(handedMutex_);
    handed_.push_back(std::move(handed));
}

// On the search's thread: the listings, newest first, each one's matches handed over whole.
void BackgroundSearch::Run(const std::vector<std::string>& folders, const FindQuery& query) {
    try {
        const EntryMatcher matcher(query);
        const auto listings = ListingsToSearch(
            folders, false,
            [this](std::string why) {
                Hand({{}, 0, std::move(why), false});
            },
            [this] { Check(); });
        for (const ListingToSearch& listing : listings) {
            Check();
            SearchOne(listing, matcher);
        }
    } catch (const Stopped&) {
    }
    Hand({{}, 0, {}, true});
    ended_.store(true, std::memory_order_release);
}

void BackgroundSearch::SearchOne(const ListingToSearch& listing, const EntryMatcher& matcher) {
    Handed handed;
    std::shared_ptr<const ListingRecord> record;
    bool beforeASave = false;
    const std::size_t keptBefore = kept_;
    try {
        SearchListing(
            listing.folder, matcher, {},
            [&] {
                handed = Handed{};
                kept_ = keptBefore;
            },
            [&](const FoundEntry& entry) {
                ++handed.found;
                if (kept_ < mostKept_) {
                    ++kept_;
                    handed.matches.push_back({std::string(entry.path), record, beforeASave});
                }
                return true;
            },
            [this] { Check(); },
            [&](const ListingRecord& read, bool before) {
                record = std::make_shared<const ListingRecord>(read);
                beforeASave = before;
            });
        Hand(std::move(handed));
    } catch (const runtime::RuntimeError& error) {
        kept_ = keptBefore;
        Hand({{}, 0, error.what(), false});
    }
}

}  // namespace quorvale::catalogue
