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
    cachedReady_.notify_all();
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
        slots_.push_back(std::move(slot));
    }
    if (toRead) asked_.notify_one();
}

void ContentReaders::TakeDone(const Take& take) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!slots_.empty() && slots_.front().done) {
        Slot slot = std::move(slots_.front());
        slots_.pop_front();
        ++frontNumber_;
        lock.unlock();
        take(slot.file, slot.result);
        lock.lock();
    }
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
        done_.wait_for(lock, kWaitSlice, [this] { return slots_.front().done; });
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
    while (!stopping_ && setup_.diskOrder && !diskReader) {
        cachedReady_.wait(lock, [this] { return stopping_ || !cached_.empty(); });
        ReadCached(lock, hashing, false);
    }
    // The disk reader takes the cached files itself only when no file asked waits to be placed:
    // with other readers there, it keeps placing and sweeping.
    while (!stopping_) {
        asked_.wait(lock, [this] { return stopping_ || SkipKnown() || !cached_.empty(); });
        if (stopping_) break;
        if (!setup_.diskOrder) {
            ReadInOrder(lock, hashing);
        } else if (SkipKnown()) {
            ReadInDiskOrder(lock, hashing);
        } else {
            ReadCached(lock, hashing, true);
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
    slot.done = true;
    done_.notify_one();
}

// Takes every file asked and not yet taken, up to a window, and hashes them in the order of their
// first physical byte (those whose place cannot be told first, in the order asked).
void ContentReaders::ReadInDiskOrder(std::unique_lock<std::mutex>& lock, FileHashing& hashing) {
    const std::uint64_t first = nextToRead_;
    const std::uint64_t end =
        std::min<std::uint64_t>(frontNumber_ + slots_.size(), first + kDiskOrderWindow);
    nextToRead_ = end;
    std::vector<std::pair<std::uint64_t, Slot*>> window;
    window.reserve(static_cast<std::size_t>(end - first));
    for (std::uint64_t number = first; number < end; ++number) {
        Slot& slot = slots_[number - frontNumber_];
        if (!slot.done) window.emplace_back(0, &slot);
    }
    lock.unlock();
    // Those the page cache holds whole wait on no disk: any reader takes them, in any order.
    std::vector<Slot*> cached;
    std::erase_if(window, [&](auto& placed) {
        bool whole = false;
        placed.first = hashing.PhysicalPlace(folderFd_, placed.second->file, &whole);
        if (whole) cached.push_back(placed.second);
        return whole;
    });
    if (!cached.empty()) {
        {
            const std::lock_guard<std::mutex> relock(mutex_);
            cached_.insert(cached_.end(), cached.begin(), cached.end());
        }
        cachedReady_.notify_all();
    }
    std::stable_sort(window.begin(), window.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [place, slot] : window) {
        HashSlot(*slot, hashing);
        const std::lock_guard<std::mutex> relock(mutex_);
        slot->done = true;
        done_.notify_one();
    }
    lock.lock();
}

void ContentReaders::ReadCached(std::unique_lock<std::mutex>& lock, FileHashing& hashing,
                                bool whileNoneAsked) {
    while (!stopping_ && !cached_.empty() && !(whileNoneAsked && SkipKnown())) {
        Slot* slot = cached_.front();
        cached_.pop_front();
        lock.unlock();
        HashSlot(*slot, hashing);
        lock.lock();
        slot->done = true;
        done_.notify_one();
    }
}

void ContentReaders::HashSlot(Slot& slot, FileHashing& hashing) {
    try {
        slot.result = hashing.Hash(
            folderFd_, slot.file, setup_.check,
            [this] { return stopping_.load(std::memory_order_relaxed); }, setup_.betweenReads);
    } catch (const std::exception& error) {  // no memory, or the hash library refused
        slot.result = HashedFile{};
        slot.result.why = error.what();
    }
    bytesRead_.fetch_add(slot.result.bytes, std::memory_order_relaxed);
    filesRead_.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace quorvale::reading
