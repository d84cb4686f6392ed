#include "reading/content_readers.h"

#include <algorithm>
#include <chrono>
#include <exception>
#include <utility>

#include "runtime/thread_start.h"
#include "runtime/unique_fd.h"

namespace quorvale::reading {

namespace {

constexpr auto kWaitSlice = std::chrono::milliseconds(10);
// Once the asking thread waits for room, it waits for this many files to be handed back, not for
// each: waking it for every file cost a switch of threads a file.
constexpr std::size_t kHandBackBatch = ContentReaders::kMaxAsked / 8;
constexpr std::uint64_t kNoneAwaited = ~std::uint64_t{0};

}  // namespace

ContentReaders::Setup ContentReaders::SetupFor(int folderFd, HashAlgorithm algorithm,
                                               HashCheck check, ReadOrder order) {
    Setup setup;
    setup.algorithm = algorithm;
    setup.check = check;
    setup.diskOrder = order == ReadOrder::kDisk ||
                      (order == ReadOrder::kAsTheDiskWants && OnRotationalDisk(folderFd));
    const unsigned cores = std::max(1U, std::thread::hardware_concurrency());
    setup.readers = std::clamp<std::size_t>(cores, 2, 4);
    return setup;
}

ContentReaders::ContentReaders(int folderFd, Setup setup)
    : folderFd_(folderFd), setup_(std::move(setup)) {
    // Each reader's buffer and hash are made here, where a failure to make them is the caller's.
    for (std::size_t i = 0; i < setup_.readers; ++i) {
        hashings_.push_back(std::make_unique<FileHashing>(setup_.algorithm));
    }
    for (std::size_t i = 0; i < setup_.readers; ++i) {
        FileHashing* hashing = hashings_[i].get();
        const bool diskReader = i == 0;
        std::optional<std::thread> thread =
            runtime::StartThread([this, hashing, diskReader] { Run(*hashing, diskReader); });
        if (!thread) break;
        threads_.push_back(std::move(*thread));
    }
    if (threads_.empty()) inline_ = hashings_.front().get();
}

ContentReaders::~ContentReaders() {
    Stop();
}

void ContentReaders::Stop() noexcept {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    asked_.notify_all();
    for (std::thread& thread : threads_) thread.join();
    threads_.clear();
}

void ContentReaders::Ask(FileToHash file, const Take& take, const std::function<void()>& wait) {
    Queue(Slot{std::move(file), {}, false}, take, wait);
}

void ContentReaders::Known(FileToHash file, HashedFile result, const Take& take,
                           const std::function<void()>& wait) {
    Queue(Slot{std::move(file), std::move(result), true}, take, wait);
}

void ContentReaders::Queue(Slot slot, const Take& take, const std::function<void()>& wait) {
    // Asked in order and done at once, or known with nothing asked before it still waiting:
    // handed back at once. (Only this thread adds or removes slots, so it may look at how many
    // there are without the lock.)
    if (inline_ || (slot.done && slots_.empty())) {
        if (!slot.done) HashSlot(slot, *inline_);
        take(slot.file, slot.result);
        return;
    }
    WaitWhile([this] { return slots_.size() >= kMaxAsked; }, take, wait);
    const bool toRead = !slot.done;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        slot.number = frontNumber_ + slots_.size();
        slots_.push_back(std::move(slot));
    }
    if (toRead) asked_.notify_one();
}

void ContentReaders::TakeDone(const Take& take) {
    // Taken out under the lock a few at once, handed back without it.
    constexpr std::size_t kAtOnce = 256;
    do {
        handing_.clear();
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            while (!slots_.empty() && slots_.front().done && handing_.size() < kAtOnce) {
                handing_.push_back(std::move(slots_.front()));
                slots_.pop_front();
                ++frontNumber_;
            }
        }
        for (Slot& slot : handing_) take(slot.file, slot.result);
    } while (handing_.size() == kAtOnce);
    handing_.clear();
}

std::uint64_t ContentReaders::SlotToAwait() const {
    // The last of a batch from the front; where that one is done (they are not all done in the
    // order asked), the first before it that is not.
    const std::size_t last = std::min(kHandBackBatch, slots_.size()) - 1;
    std::size_t awaited = last;
    if (slots_[last].done) {
        for (std::size_t i = 0; i < last; ++i) {
            if (!slots_[i].done) {
                awaited = i;
                break;
            }
        }
    }
    return frontNumber_ + awaited;
}

void ContentReaders::MarkDone(Slot& slot) {
    slot.done = true;
    if (slot.number == awaited_) done_.notify_one();
}

void ContentReaders::Finish(const Take& take, const std::function<void()>& wait) {
    WaitWhile([this] { return !slots_.empty(); }, take, wait);
}

// Hands back what is done while `busy` (asked under the lock) says to wait, waiting for the
// readers in slices so that `wait` is called every few milliseconds, however fast files come back.
void ContentReaders::WaitWhile(const std::function<bool()>& busy, const Take& take,
                               const std::function<void()>& wait) {
    auto lastWait = std::chrono::steady_clock::now();
    for (;;) {
        TakeDone(take);
        std::unique_lock<std::mutex> lock(mutex_);
        if (!busy()) return;
        awaited_ = SlotToAwait();
        done_.wait_for(lock, kWaitSlice, [this] { return slots_[awaited_ - frontNumber_].done; });
        awaited_ = kNoneAwaited;
        lock.unlock();
        if (!wait || std::chrono::steady_clock::now() - lastWait < kWaitSlice) continue;
        lastWait = std::chrono::steady_clock::now();
        try {
            wait();
        } catch (...) {
            Stop();  // no reader goes on reading for a Save that ended
            throw;
        }
    }
}

void ContentReaders::Run(FileHashing& hashing, bool diskReader) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        asked_.wait(lock, [this, diskReader] {
            return stopping_ || SkipKnown() || (diskReader && !toSweep_.empty());
        });
        if (stopping_) break;
        if (!setup_.diskOrder) {
            ReadInOrder(lock, hashing);
        } else if (diskReader && (toSweep_.size() >= kDiskOrderWindow ||
                                  toSweepBytes_ >= kDiskOrderWindowBytes || !SkipKnown())) {
            // A whole window, or every file asked sorted out: the more a window holds, the less
            // the disk's head goes back. Large files are long reads of their own, whose order
            // matters less than that the others go on meanwhile: they fill a window alone.
            Sweep(lock, hashing);
        } else {
            SortOut(lock, hashing);
        }
    }
}

// Passes over the files whose results were known when asked; whether one is left to read (the
// lock held).
bool ContentReaders::SkipKnown() {
    // Known ones at the front may have been handed back already.
    nextToRead_ = std::max(nextToRead_, frontNumber_);
    while (nextToRead_ < frontNumber_ + slots_.size() && slots_[nextToRead_ - frontNumber_].done) {
        ++nextToRead_;
    }
    return nextToRead_ < frontNumber_ + slots_.size();
}

// Takes the next file asked and hashes it (the lock is held on entry and on return).
void ContentReaders::ReadInOrder(std::unique_lock<std::mutex>& lock, FileHashing& hashing) {
    Slot& slot = slots_[nextToRead_++ - frontNumber_];
    lock.unlock();
    HashSlot(slot, hashing);
    lock.lock();
    MarkDone(slot);
}

// Takes the next file asked and asks the cache of it: one held whole waits on no disk and is hashed
// at once; any other is left, with where it lies, for the disk reader to sweep (the lock is held on
// entry and on return).
void ContentReaders::SortOut(std::unique_lock<std::mutex>& lock, FileHashing& hashing) {
    Slot& slot = slots_[nextToRead_++ - frontNumber_];
    lock.unlock();
    const bool done = HashIfCached(slot, hashing);
    lock.lock();
    if (done) {
        MarkDone(slot);
        return;
    }
    toSweep_.push_back(&slot);
    toSweepBytes_ += slot.file.listed.size;
    // The disk reader waits with the others: all are woken, and those with nothing to do sleep on.
    if (toSweep_.size() == 1) asked_.notify_all();
}

// Takes the files left to sweep, up to a window, and hashes them in the order of their first
// physical byte (those whose place cannot be told first, in the order asked); meanwhile the others
// go on sorting out the files asked after them (the lock is held on entry and on return).
void ContentReaders::Sweep(std::unique_lock<std::mutex>& lock, FileHashing& hashing) {
    const std::size_t count = std::min(toSweep_.size(), kDiskOrderWindow);
    std::vector<Slot*> window(toSweep_.begin(), toSweep_.begin() + static_cast<long>(count));
    toSweep_.erase(toSweep_.begin(), toSweep_.begin() + static_cast<long>(count));
    for (const Slot* slot : window) toSweepBytes_ -= slot->file.listed.size;
    lock.unlock();
    std::stable_sort(window.begin(), window.end(),
                     [](const Slot* a, const Slot* b) { return a->place < b->place; });
    // The files after the one read are asked ahead, in the same order, so that the disk has more
    // than one read to serve at a time (it takes them in the order of their places), within a
    // budget of bytes charged when asked and given back once the file is read.
    std::size_t asked = 0;
    std::uint64_t bytesAhead = 0;
    for (std::size_t i = 0; i < window.size(); ++i) {
        for (asked = std::max(asked, i + 1);
             asked < window.size() && asked - i <= kReadAheadFiles &&
             bytesAhead < kReadAheadBytes && !stopping_.load(std::memory_order_relaxed);
             ++asked) {
            Slot& next = *window[asked];
            next.bytesAhead = std::min(next.file.listed.size, kReadAheadOfAFile);
            bytesAhead += next.bytesAhead;
            FileHashing::ReadAhead(folderFd_, next.file, next.bytesAhead);
        }
        HashSlot(*window[i], hashing);
        bytesAhead -= window[i]->bytesAhead;
        const std::lock_guard<std::mutex> relock(mutex_);
        MarkDone(*window[i]);
    }
    lock.lock();
}

template <typename HashIt>
bool ContentReaders::Record(Slot& slot, const HashIt& hash) {
    std::optional<HashedFile> result;
    try {
        result = hash();
    } catch (const std::exception& error) {  // no memory, or the hash library refused
        result = HashedFile{};
        result->why = error.what();
    }
    if (!result) return false;
    slot.result = std::move(*result);
    bytesRead_.fetch_add(slot.result.bytes, std::memory_order_relaxed);
    filesRead_.fetch_add(1, std::memory_order_relaxed);
    return true;
}

void ContentReaders::HashSlot(Slot& slot, FileHashing& hashing) {
    Record(slot, [&]() -> std::optional<HashedFile> {
        return hashing.Hash(folderFd_, slot.file, setup_.check, stopAsked_, setup_.betweenReads,
                            slot.cache);
    });
}

bool ContentReaders::HashIfCached(Slot& slot, FileHashing& hashing) {
    return Record(slot, [&] {
        FileHashing::CachedOrPlace answer = hashing.HashIfCached(folderFd_, slot.file, setup_.check,
                                                                 stopAsked_, setup_.betweenReads);
        slot.place = answer.place;
        slot.cache = answer.cache;
        return std::move(answer.hashed);
    });
}

}  // namespace quorvale::reading
