// A search of kept listings on a thread of its own, for a window that must never wait on a disk:
// the thread only reads the listings and hands each listing's matches over, whole, through a
// queue the owner takes from whenever it likes. The owner's thread never joins a search that is
// still running: Stop asks it to stop and returns at once; the search notices within a few
// thousand entries, and a finished search is joined (at once) when it is let go of.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "catalogue/listing_find.h"

namespace quorvale::catalogue {

class BackgroundSearch {
  public:
    // One match, with the record of the listing as it was searched.
    struct Match {
        std::string path;     // as the listing wrote it, a folder's ending in "/"
        std::string listing;  // its list folder
        std::shared_ptr<const ListingRecord> record;
        bool beforeASave = false;  // the listing as it was before a Save of it began
    };
    // Another copy of a match's file: the drive of its listing (as DriveName names it) and its
    // path.
    struct Copy {
        std::string drive;
        std::string path;
    };
    // What the search hands over: a listing's matches (the first `mostKept` of the whole search
    // kept, all counted), a listing that could not be read, or the end; before the end, once
    // every listing was searched, the other copies of the kept matches that are files of
    // listings saved with hashes, each by the number of its match in the search (from 0).
    struct Handed {
        std::vector<Match> matches;
        std::uint64_t found = 0;
        std::string problem;
        bool finished = false;
        std::vector<std::pair<std::size_t, std::vector<Copy>>> copies;
    };

    // Starts searching the kept listings in `folders` for `query`, newest first, on a thread of
    // its own; on the calling thread when no thread can be had (the caller then waits for it).
    BackgroundSearch(std::vector<std::string> folders, FindQuery query, std::size_t mostKept);
    // Stops the search and joins its thread.
    ~BackgroundSearch();
    BackgroundSearch(const BackgroundSearch&) = delete;
    BackgroundSearch& operator=(const BackgroundSearch&) = delete;

    // Asks the search to stop; returns at once. It then hands over the end.
    void Stop() { stop_.store(true, std::memory_order_relaxed); }
    // Whether its thread has returned (joining it then waits for nothing).
    bool Ended() const { return ended_.load(std::memory_order_acquire); }
    // What it handed over since the last call, in order.
    std::deque<Handed> Take();

  private:
    struct Stopped {};
    void Run(const std::vector<std::string>& folders, const FindQuery& query);
    void SearchOne(const ListingToSearch& listing, const EntryMatcher& matcher);
    void FindCopies(const std::vector<ListingToSearch>& listings);
    void Check() const;
    void Hand(Handed handed);

    const std::size_t mostKept_;
    std::size_t kept_ = 0;                                       // on the search's thread
    std::vector<std::pair<std::string, std::string>> keptKeys_;  // each kept match's listing and
                                                                 // path, on the search's thread
    std::atomic<bool> stop_{false};
    std::atomic<bool> ended_{false};
    std::mutex handedMutex_;
    std::deque<Handed> handed_;  // under handedMutex_
    std::optional<std::thread> thread_;
};

}  // namespace quorvale::catalogue
