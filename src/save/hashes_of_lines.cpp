#include "save/hashes_of_lines.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "catalogue/earlier_listing.h"
#include "listing/list_file_name.h"
#include "runtime/path_join.h"
#include "runtime/thread_start.h"

namespace quorvale::save {

using reading::HashedFile;

namespace {

// How often a walk that waits for the earlier hashes' check lets the program stop.
constexpr auto kCheckWaitSlice = std::chrono::milliseconds(10);

}  // namespace

HashesOfLines::HashesOfLines(Hashing hashing, std::function<void()> wait)
    : hashing_(std::move(hashing)),
      wait_(std::move(wait)),
      tally_(hashing_.tally != nullptr ? *hashing_.tally : ownTally_) {
    if (hashing_.earlier != nullptr && !hashing_.earlier->RowsChecked()) {
        // Without a thread to be had the rows are checked when first needed.
        checking_ = runtime::StartThread([this] { CheckEarlier(); });
    }
}

// The check and the readers stop within a window or a read, and are joined before anything they
// use goes.
HashesOfLines::~HashesOfLines() {
    stopChecking_.store(true, std::memory_order_relaxed);
    if (checking_) checking_->join();
    readers_.reset();
}

void HashesOfLines::KeepIn(runtime::UniqueFd rows, runtime::UniqueFd runs) {
    writer_.emplace(hashing_.algorithm, std::move(rows), std::move(runs));
}

void HashesOfLines::CheckEarlier() {
    try {
        hashing_.earlier->CheckRows(&stopChecking_);
    } catch (const std::exception& error) {  // damaged, or no memory to read them in
        earlierWhy_ = error.what();
    }
    checked_.set_value();
}

// Before the first hash is carried: the earlier rows checked (waiting for the thread that checks
// them, the program let stop meanwhile), and then followed by the writer, or, damaged, not used.
void HashesOfLines::AwaitEarlier() {
    earlierSettled_ = true;
    if (hashing_.earlier == nullptr) return;
    if (checking_) {
        std::future<void> checked = checked_.get_future();
        while (checked.wait_for(kCheckWaitSlice) != std::future_status::ready) {
            if (wait_) wait_();  // what it throws passes, and the destructor joins
        }
    } else if (!hashing_.earlier->RowsChecked()) {
        CheckEarlier();
    }
    if (!hashing_.earlier->RowsChecked()) {
        if (hashing_.earlierRefused) hashing_.earlierRefused(earlierWhy_);
        hashing_.earlier = nullptr;
        hashing_.earlierBySize = nullptr;
        return;
    }
    if (writer_) writer_->Follow(*hashing_.earlier, hashing_.earlierBySize);
}

void HashesOfLines::Line(std::uint64_t number, std::string_view line,
                         const listing::LineDetails& noted) {
    if (noted.kind == listing::LineDetails::Kind::kFolder) {
        Folder(line.substr(1), noted);
        return;
    }
    if (noted.kind != listing::LineDetails::Kind::kFile || !noted.known ||
        noted.entry.type != 'f' || !rootKnown_) {
        return;
    }
    Count(tally_.files, 1);
    Count(tally_.bytes, noted.entry.size);
    const auto take = [this](reading::FileToHash& asked, HashedFile& hashed) {
        Take(asked, hashed);
    };
    if (!earlierSettled_) AwaitEarlier();
    // A hash carried over takes its turn among those read, so that rows stay in listing order;
    // its file is never opened, so its path is not made. With nothing read before it waiting, it
    // is taken at once, as the readers would hand it back.
    if (rootWhy_.empty()) {
        if (const catalogue::HashRow* carried = CarriedOver(noted.entry)) {
            if (readers_->NothingWaits()) {
                Done(noted.entry.size);
                carriedRow_ = *carried;
                carriedRow_.entry = number;
                writer_->Add(carriedRow_);
                return;
            }
            HashedFile known;
            known.outcome = HashedFile::Outcome::kHashed;
            known.hash = carried->hash;
            known.found = noted.entry;
            known.readAt = carried->readAt;
            readers_->Known({number, {}, 0, noted.entry}, std::move(known), take, wait_);
            return;
        }
    }
    reading::FileToHash file{number, {}, 0, noted.entry};
    file.path = folder_;
    runtime::AppendName(file.path, line.substr(2));
    file.nameAt = file.path.size() - (line.size() - 2);
    if (!rootWhy_.empty()) {
        Done(file.listed.size);
        NotHashed(runtime::JoinPath(rootPath_, file.path), rootWhy_);
        return;
    }
    readers_->Ask(std::move(file), take, wait_);
}

// A folder line: the first is the root's, whose handle every file is opened beneath.
void HashesOfLines::Folder(std::string_view path, const listing::LineDetails& noted) {
    if (!rootKnown_) {
        rootKnown_ = true;
        rootPath_.assign(path);
        rootFd_ = runtime::UniqueFd(
            ::open(rootPath_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK));
        struct stat st {};
        if (!rootFd_ || ::fstat(rootFd_.Get(), &st) != 0) {
            rootWhy_ = std::strerror(errno);
        } else if (noted.known && (static_cast<std::uint64_t>(st.st_ino) != noted.entry.inode ||
                                   static_cast<std::uint64_t>(st.st_dev) != noted.entry.device)) {
            rootWhy_ = "the folder listed is no longer at its path";
        } else {
            readers_ = std::make_unique<reading::ContentReaders>(rootFd_.Get(), [this] {
                reading::ContentReaders::Setup setup = reading::ContentReaders::SetupFor(
                    rootFd_.Get(), hashing_.algorithm, reading::HashCheck::kSameFile,
                    hashing_.order);
                setup.betweenReads = hashing_.betweenReads;
                return setup;
            }());
        }
        folder_.clear();
        return;
    }
    std::string_view relative = path.substr(std::min(path.size(), rootPath_.size()));
    while (relative.starts_with('/')) relative.remove_prefix(1);
    folder_.assign(relative);
}

// Whether the earlier listing's hash of the file stands: the same file, size and times, and those
// older than its reading by the file system's granularity (a change in the same tick as the
// reading is never missed).
const catalogue::HashRow* HashesOfLines::CarriedOver(const reading::EntryDetails& entry) {
    if (hashing_.earlier == nullptr || entry.inode == 0) return nullptr;
    const catalogue::HashRow* row = hashing_.earlier->Find(entry.device, entry.inode);
    if (row == nullptr || row->size != entry.size || row->modified != entry.modifiedNs ||
        row->changed != entry.changedNs ||
        std::max(row->modified, row->changed) > row->readAt - catalogue::kFolderTimeGranularity) {
        return nullptr;
    }
    ++carried_;
    return row;
}

void HashesOfLines::Take(reading::FileToHash& file, HashedFile& hashed) {
    bytesRead_ += hashed.bytes;
    Done(file.listed.size);
    switch (hashed.outcome) {
        case HashedFile::Outcome::kHashed:
            writer_->Add({file.entry, hashed.found.size, hashed.found.device, hashed.found.inode,
                          hashed.found.modifiedNs, hashed.found.changedNs, hashed.readAt,
                          std::move(hashed.hash)});
            return;
        case HashedFile::Outcome::kChanged:
        case HashedFile::Outcome::kNotRegular:
        case HashedFile::Outcome::kGone:
            NotHashed(runtime::JoinPath(rootPath_, file.path),
                      std::string(catalogue::kChangedWhileHashed));
            return;
        case HashedFile::Outcome::kFailed:
            NotHashed(runtime::JoinPath(rootPath_, file.path), std::move(hashed.why));
            return;
    }
}

void HashesOfLines::NotHashed(const std::string& path, std::string why) {
    if (hashing_.notHashed) hashing_.notHashed(path, why);
    if (notHashed_.size() < kMaxNamed) notHashed_.push_back({path, std::move(why)});
    ++notHashedCount_;
}

void HashesOfLines::Done(std::uint64_t bytes) {
    Count(tally_.filesDone, 1);
    Count(tally_.bytesDone, bytes);
}

// Only this thread counts, others only read: no locked addition is needed.
void HashesOfLines::Count(std::atomic<std::uint64_t>& counter, std::uint64_t more) {
    counter.store(counter.load(std::memory_order_relaxed) + more, std::memory_order_relaxed);
}

void HashesOfLines::WaitForReaders() {
    if (readers_) {
        readers_->Finish(
            [this](reading::FileToHash& asked, HashedFile& hashed) { Take(asked, hashed); }, wait_);
    }
}

void HashesOfLines::Finish(catalogue::ListingRecord& record, runtime::TextOutput& byEntry,
                           runtime::TextOutput& bySize) {
    WaitForReaders();
    if (!writer_) writer_.emplace(hashing_.algorithm, runtime::UniqueFd(), runtime::UniqueFd());
    writer_->Finish(record.lines, record.indexSave.value_or(catalogue::SaveIdentity{}), byEntry,
                    bySize);
    catalogue::ListingRecord::Hashes hashes;
    hashes.algorithm = hashing_.algorithm;
    hashes.byEntry = listing::kHashesByEntryName;
    hashes.bySize = listing::kHashesBySizeName;
    hashes.files = writer_->Rows();
    hashes.carried = carried_;
    hashes.bytesRead = bytesRead_;
    hashes.notHashedCount = notHashedCount_;
    hashes.notHashed = std::move(notHashed_);
    record.hashes = std::move(hashes);
    record.options.hash = hashing_.algorithm;
}

}  // namespace quorvale::save
