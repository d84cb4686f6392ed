#include "save/index_of_lines.h"

#include <chrono>
#include <utility>

#include "catalogue/listing_find.h"
#include "runtime/runtime_error.h"
#include "runtime/thread_start.h"

namespace quorvale::save {

namespace {

#ifdef QUORVALE_BENCH_INDEX_NO_OP
// A bench's build: every index is made of nothing, so that a Save's time without one can be had.
constexpr bool kIndexBuilt = false;
#else
constexpr bool kIndexBuilt = true;
#endif

// How often the walk's thread, waiting for the builder to make room, lets the window catch up.
constexpr auto kWaitSlice = std::chrono::milliseconds(10);

}  // namespace

IndexOfLines::IndexOfLines(std::function<void()> wait, std::function<void()> beforeBatch)
    : wait_(std::move(wait)), beforeBatch_(std::move(beforeBatch)) {}

IndexOfLines::~IndexOfLines() {
    StopBuilder();
}

void IndexOfLines::StopBuilder() noexcept {
    if (!thread_) return;
    {
        const std::lock_guard lock(mutex_);
        stop_ = true;
        queue_.clear();  // a Save that ends here writes no index: nothing more to build
    }
    handed_.notify_one();
    thread_->join();
    thread_.reset();
}

void IndexOfLines::KeepIn(runtime::UniqueFd scratch) {
    scratch_ = std::move(scratch);
    if (scratch_) builder_.KeepIn(scratch_.Get());
}

void IndexOfLines::KeepSizesIn(runtime::UniqueFd scratch) {
    if (kIndexBuilt) sizes_.emplace(std::move(scratch));
}

void IndexOfLines::Line(std::string_view line, const listing::LineDetails& noted) {
    if (!kIndexBuilt) return;
    filling_.text += line;
    Batch::Noted copy;
    copy.end = static_cast<std::uint32_t>(filling_.text.size());
    copy.entryKind = noted.entryKind;
    if (noted.stamp.known) {
        copy.stamp = static_cast<std::uint32_t>(filling_.stamps.size());
        filling_.stamps.push_back(noted.stamp);
    }
    if (sizes_ && noted.known) {
        copy.details = static_cast<std::uint32_t>(filling_.details.size());
        filling_.details.push_back(noted.entry);
    }
    filling_.lines.push_back(copy);
    if (filling_.text.size() >= kBatchBytes) Hand(true);
}

void IndexOfLines::CutShort(std::uint64_t folder) {
    if (kIndexBuilt) filling_.cutShort.push_back(folder);
}

// Builds the lines of `batch`, in order, on the builder's thread.
void IndexOfLines::Build(const Batch& batch) {
    std::uint32_t begin = 0;
    for (const Batch::Noted& noted : batch.lines) {
        const std::string_view line = std::string_view(batch.text).substr(begin, noted.end - begin);
        begin = noted.end;
        if (const std::optional<catalogue::KeptEntry> entry = meaning_.Take(line)) {
            const std::size_t matched = catalogue::EntryPath(*entry, path_);
            static const reading::FolderStamp kNone;
            const reading::FolderStamp& stamp =
                noted.stamp == Batch::kNoStamp ? kNone : batch.stamps[noted.stamp];
            builder_.Add(std::string_view(path_).substr(0, matched), !entry->isFile,
                         noted.entryKind, stamp);
            if (stamp.known) ++(stamp.reused ? foldersReused_ : foldersRead_);
            if (sizes_) {
                sizes_->Add(
                    std::string_view(path_).substr(0, matched), !entry->isFile,
                    noted.details == Batch::kNoStamp ? nullptr : &batch.details[noted.details]);
            }
        }
    }
    for (const std::uint64_t folder : batch.cutShort) builder_.CutShort(folder);
}

// The builder thread: builds each batch handed over, in order, until it is stopped and nothing is
// left; after a failure it lets go of what it is handed, and the walk's thread throws the failure.
void IndexOfLines::Work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        handed_.wait(lock, [this] { return stop_ || !queue_.empty(); });
        if (queue_.empty()) return;
        Batch batch = std::move(queue_.front());
        queue_.pop_front();
        ++building_;
        const bool failedBefore = broken_;
        lock.unlock();
        std::exception_ptr failure;
        if (!failedBefore) {
            try {
                if (beforeBatch_) beforeBatch_();
                Build(batch);
            } catch (...) {
                failure = std::current_exception();
            }
        }
        batch.Clear();
        lock.lock();
        --building_;
        if (failure) {
            failed_ = failure;
            broken_ = true;
        }
        spare_.push_back(std::move(batch));
        built_.notify_all();
    }
}

void IndexOfLines::ThrowIfFailed() {
    if (failed_) std::rethrow_exception(std::exchange(failed_, nullptr));
}

// Hands the batch being filled to the builder: once there is room for it (waiting, and when
// `mayWait` letting the window catch up meanwhile), or built here when no thread can be had.
void IndexOfLines::Hand(bool mayWait) {
    if (filling_.Empty()) return;
    if (!thread_ && !threadRefused_) {
        thread_ = runtime::StartThread([this] { Work(); });
        threadRefused_ = !thread_;
    }
    if (!thread_) {
        Build(filling_);
        filling_.Clear();
        return;
    }
    std::unique_lock lock(mutex_);
    while (failed_ == nullptr && queue_.size() + building_ >= kBatchesInFlight) {
        if (!mayWait || !wait_) {
            built_.wait(lock);
            continue;
        }
        if (built_.wait_for(lock, kWaitSlice) == std::cv_status::timeout) {
            lock.unlock();
            wait_();
            lock.lock();
        }
    }
    ThrowIfFailed();
    queue_.push_back(std::move(filling_));
    filling_ = {};
    if (!spare_.empty()) {
        filling_ = std::move(spare_.back());
        spare_.pop_back();
    }
    lock.unlock();
    handed_.notify_one();
}

std::uint64_t IndexOfLines::Finish(const catalogue::ListingRecord& record,
                                   runtime::TextOutput& out) {
    Hand(false);
    if (thread_) {
        {
            const std::lock_guard lock(mutex_);
            stop_ = true;  // once every batch handed over is built
        }
        handed_.notify_one();
        thread_->join();
        thread_.reset();
        ThrowIfFailed();
    }
    if (kIndexBuilt && meaning_.Count() != record.lines) {
        throw runtime::RuntimeError(runtime::InvalidProcedureCall,
                                    "Cannot write the index: it was told " +
                                        std::to_string(meaning_.Count()) + " lines of " +
                                        std::to_string(record.lines));
    }
    return builder_.Finish(record.lines, record.bytes, *record.indexSave,
                           [&out](std::string_view piece) { out.PrintBytes(piece); });
}

std::uint64_t IndexOfLines::FinishSizes(const catalogue::ListingRecord& record,
                                        runtime::TextOutput& out) {
    if (!sizes_ || thread_) {
        throw runtime::RuntimeError(runtime::InvalidProcedureCall,
                                    "Cannot write the sizes: the index was not finished first");
    }
    return sizes_->Finish(record.lines, *record.indexSave, out);
}

}  // namespace quorvale::save
