// The content hashes of a listing, asked for from its lines as they are written into its list
// files: each regular file line (with its details: which file it is, its size and times) is either
// carried over from an earlier listing's hashes, when nothing in its status says it changed since
// that listing read it, or asked of the reader threads (reading::ContentReaders), which hash it
// beside the walk. Results come back on the asking thread in listing order and go into the hash
// files' writer (catalogue::HashFileWriter); the files themselves are written by Finish.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "catalogue/hash_file.h"
#include "catalogue/listing_record.h"
#include "listing/list_file_writer.h"
#include "reading/content_readers.h"
#include "runtime/text_output.h"
#include "runtime/unique_fd.h"

namespace quorvale::save {

// How far hashing has come, for a progress line: counted by the Save's thread, read from any.
struct HashTally {
    std::atomic<std::uint64_t> files{0};      // regular files met so far
    std::atomic<std::uint64_t> bytes{0};      // their sizes
    std::atomic<std::uint64_t> filesDone{0};  // hashed, carried over or given up
    std::atomic<std::uint64_t> bytesDone{0};
};

// What a Save with hashes is asked.
struct Hashing {
    reading::HashAlgorithm algorithm = reading::HashAlgorithm::kNone;
    reading::ReadOrder order = reading::ReadOrder::kAsTheDiskWants;
    // The earlier listing's hashes, of the same algorithm, to carry over (none: hash every file).
    // Rows not yet checked (see catalogue::KeptHashes::RowsCheck) are checked on a thread of their
    // own while the walk begins; the first file that could carry a hash waits for that.
    catalogue::KeptHashes* earlier = nullptr;
    // Its rows by size, for a tree listed again unchanged to copy (none: they are sorted anew).
    catalogue::HashesBySize* earlierBySize = nullptr;
    HashTally* tally = nullptr;  // none: nobody watches
    // Told why the earlier hashes cannot be carried over when their rows are found damaged (every
    // file is then hashed), on the thread that asks (none: nobody).
    std::function<void(const std::string& why)> earlierRefused;
    // Told each regular file that gets no hash, and why, on the thread that asks (none: nobody).
    std::function<void(const std::string& path, const std::string& why)> notHashed;
    // For tests: called by a reader after each read of a file.
    std::function<void(const reading::FileToHash&)> betweenReads;
};

class HashesOfLines {
  public:
    // How many files without a hash the record names (the rest are counted).
    static constexpr std::size_t kMaxNamed = 100;

    // `wait` is called every few milliseconds while the walk waits for the readers to make room,
    // or for the last files; what it throws passes through.
    HashesOfLines(Hashing hashing, std::function<void()> wait);
    ~HashesOfLines();
    HashesOfLines(const HashesOfLines&) = delete;
    HashesOfLines& operator=(const HashesOfLines&) = delete;

    // Before the first line: the rows wait in these scratch files (in memory where there are
    // none).
    void KeepIn(runtime::UniqueFd rows, runtime::UniqueFd runs);
    // Each line of the listing, with its number, its bytes as read and what the walk noted.
    void Line(std::uint64_t number, std::string_view line, const listing::LineDetails& noted);
    // Waits for every file asked (on the calling thread, the wait called meanwhile).
    void WaitForReaders();
    // Writes both files of the listing `record` describes and names them, with the files that got
    // no hash, in the record. Throws what the outputs throw.
    void Finish(catalogue::ListingRecord& record, runtime::TextOutput& byEntry,
                runtime::TextOutput& bySize);

  private:
    void Folder(std::string_view path, const listing::LineDetails& noted);
    void CheckEarlier();
    void AwaitEarlier();
    const catalogue::HashRow* CarriedOver(const reading::EntryDetails& entry);
    void Take(reading::FileToHash& file, reading::HashedFile& hashed);
    void NotHashed(const std::string& path, std::string why);
    void Done(std::uint64_t bytes);
    static void Count(std::atomic<std::uint64_t>& counter, std::uint64_t more);

    Hashing hashing_;
    std::function<void()> wait_;
    std::optional<catalogue::HashFileWriter> writer_;
    runtime::UniqueFd rootFd_;  // the listed folder, every file opened beneath it
    std::string rootPath_;      // as its folder line gives it
    bool rootKnown_ = false;    // the folder line that opened the walk was met
    std::string rootWhy_;       // why no file below the root can be hashed (empty: they can)
    std::string folder_;        // the current folder's path beneath the root ("" the root)
    std::unique_ptr<reading::ContentReaders> readers_;
    std::uint64_t carried_ = 0;
    catalogue::HashRow carriedRow_;  // the row of a hash carried over, as it is added
    std::uint64_t bytesRead_ = 0;
    std::size_t notHashedCount_ = 0;
    std::vector<listing::IncompleteFolder> notHashed_;
    HashTally ownTally_;
    HashTally& tally_;
    // The check of the earlier hashes' rows beside the walk, until AwaitEarlier has settled it.
    bool earlierSettled_ = false;
    std::atomic<bool> stopChecking_{false};
    std::promise<void> checked_;
    std::string earlierWhy_;  // why the rows are damaged (empty: they are whole), once checked_
    std::optional<std::thread> checking_;
};

}  // namespace quorvale::save
