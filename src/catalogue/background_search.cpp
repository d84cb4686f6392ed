#include "catalogue/background_search.h"

#include <map>
#include <utility>

#include "catalogue/drive_now.h"
#include "catalogue/duplicate_groups.h"
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
                Hand({{}, 0, std::move(why), false, {}});
            },
            [this] { Check(); });
        for (const ListingToSearch& listing : listings) {
            Check();
            SearchOne(listing, matcher);
        }
        FindCopies(listings);
    } catch (const Stopped&) {
    }
    Hand({{}, 0, {}, true, {}});
    ended_.store(true, std::memory_order_release);
}

void BackgroundSearch::SearchOne(const ListingToSearch& listing, const EntryMatcher& matcher) {
    Handed handed;
    std::shared_ptr<const ListingRecord> record;
    bool beforeASave = false;
    const std::size_t keptBefore = kept_;
    const std::size_t keysBefore = keptKeys_.size();
    try {
        SearchListing(
            listing.folder, matcher, {},
            [&] {
                handed = Handed{};
                kept_ = keptBefore;
                keptKeys_.resize(keysBefore);
            },
            [&](const FoundEntry& entry) {
                ++handed.found;
                if (kept_ < mostKept_) {
                    ++kept_;
                    handed.matches.push_back(
                        {std::string(entry.path), listing.folder, record, beforeASave});
                    keptKeys_.emplace_back(listing.folder, entry.path);
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
        keptKeys_.resize(keysBefore);
        Hand({{}, 0, error.what(), false, {}});
    }
}

// On the search's thread: the other copies of the kept matches, from the hashes of the listings
// saved with them (all of one algorithm). A listing that cannot be read, or that a Save replaced
// meanwhile, leaves the copies untold; the matches stand.
void BackgroundSearch::FindCopies(const std::vector<ListingToSearch>& listings) {
    const reading::HashAlgorithm algorithm = CommonAlgorithm(listings);
    std::vector<ListingToSearch> hashed;
    for (const ListingToSearch& listing : listings) {
        if (listing.record.hashes && listing.record.hashes->algorithm == algorithm) {
            hashed.push_back(listing);
        }
    }
    if (hashed.empty() || keptKeys_.empty()) return;
    DuplicateSearch search;
    search.algorithm = algorithm;
    search.folders = false;  // every file of a copied folder has its copies told
    std::vector<DuplicateGroup> groups;
    try {
        groups = FindDuplicates(hashed, search, [this] { Check(); });
    } catch (const runtime::RuntimeError& error) {
        Hand({{}, 0, error.what(), false, {}});
        return;
    }
    // Which group each file (by its listing and path, hard links too) is in.
    std::map<std::pair<std::string, std::string>, std::pair<std::size_t, std::size_t>> where;
    for (std::size_t g = 0; g < groups.size(); ++g) {
        for (std::size_t c = 0; c < groups[g].copies.size(); ++c) {
            const DuplicateCopy& copy = groups[g].copies[c];
            where[{hashed[copy.listing].folder, copy.path}] = {g, c};
            for (const std::string& link : copy.links) {
                where[{hashed[copy.listing].folder, link}] = {g, c};
            }
        }
    }
    Handed handed;
    for (std::size_t number = 0; number < keptKeys_.size(); ++number) {
        const auto found = where.find(keptKeys_[number]);
        if (found == where.end()) continue;
        const auto [g, own] = found->second;
        std::vector<Copy> others;
        for (std::size_t c = 0; c < groups[g].copies.size(); ++c) {
            if (c == own) continue;
            const DuplicateCopy& copy = groups[g].copies[c];
            others.push_back({DriveName(hashed[copy.listing].record), copy.path});
        }
        handed.copies.emplace_back(number, std::move(others));
    }
    Hand(std::move(handed));
}

}  // namespace quorvale::catalogue
