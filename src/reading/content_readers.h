// The reader threads that hash files' content, under a budget of their own: files asked and not yet
// handed back (kMaxAsked, charged when a file is asked for, so the one who asks waits, never the
// memory grows), one open file and one read buffer of kHashReadBytes a reader. The thread that
// asks owns the order: results come back to it, on its own thread, in the order it asked, whatever
// order the readers took them in. On a solid-state disk, tmpfs or a network share several readers
// take the files as asked; on a rotational disk every reader takes the files as asked and hashes
// those whose every page is in the page cache (which no disk is read for) at once, and one reader,
// the disk reader, takes the others a window at a time in the order of their first physical byte,
// so the disk's head sweeps instead of seeking back and forth.
// Shutdown is stop, wake, join: a reader stops within one read.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "reading/file_hashing.h"

namespace quorvale::reading {

class ContentReaders {
  public:
    static constexpr std::size_t kMaxAsked = 8192;
    static constexpr std::size_t kDiskOrderWindow = 1024;
    static constexpr std::uint64_t kDiskOrderWindowBytes = std::uint64_t{64} << 20;
    // Read ahead in the disk's order: files, bytes in all, bytes of one file.
    static constexpr std::size_t kReadAheadFiles = 32;
    static constexpr std::uint64_t kReadAheadBytes = std::uint64_t{8} << 20;
    static constexpr std::uint64_t kReadAheadOfAFile = std::uint64_t{2} << 20;

    struct Setup {
        HashAlgorithm algorithm = HashAlgorithm::kXxh3;
        HashCheck check = HashCheck::kSameFile;
        // One reader reads the files not in the page cache in the disk's order, as for a
        // rotational disk; otherwise `readers` of them read the files as asked.
        bool diskOrder = false;
        std::size_t readers = 2;
        // For tests: called by a reader after each read of a file.
        std::function<void(const FileToHash&)> betweenReads;
    };
    // Whether the disk the folder open as `folderFd` lies on wants its files in its order (a
    // rotational one), or the order asked whatever the disk; as many readers as the processors
    // (two to four).
    static Setup SetupFor(int folderFd, HashAlgorithm algorithm, HashCheck check, ReadOrder order);

    // Reads files beneath the folder open as `folderFd` (not owned; it must outlive the readers).
    // Readers that cannot be started are done without: with none, the files are hashed on the
    // asking thread as they are asked.
    ContentReaders(int folderFd, Setup setup);
    ~ContentReaders();
    ContentReaders(const ContentReaders&) = delete;
    ContentReaders& operator=(const ContentReaders&) = delete;

    // Told each file asked, with what its reading gave, in the order asked.
    using Take = std::function<void(FileToHash&, HashedFile&)>;
    // Asks for `file` to be hashed. While kMaxAsked files are asked and not handed back, hands back
    // what is done and waits, calling `wait` every few milliseconds (what it throws passes
    // through, and the readers stop at the next read).
    void Ask(FileToHash file, const Take& take, const std::function<void()>& wait = {});
    // Puts `file`, whose result is known without reading it, in its turn among those asked: it is
    // handed back in the order asked like the others (waits as Ask does).
    void Known(FileToHash file, HashedFile result, const Take& take,
               const std::function<void()>& wait = {});
    // Whether a result known now would be handed back at once: nothing asked before it waits.
    // (Only the asking thread adds or removes files, so it may ask this without the lock.)
    bool NothingWaits() const { return inline_ != nullptr || slots_.empty(); }
    // Hands back, in order, what is done so far.
    void TakeDone(const Take& take);
    // Waits for every file asked and hands each back, in order.
    void Finish(const Take& take, const std::function<void()>& wait = {});

    // For progress, from any thread: files read and bytes read so far.
    std::uint64_t FilesRead() const { return filesRead_.load(std::memory_order_relaxed); }
    std::uint64_t BytesRead() const { return bytesRead_.load(std::memory_order_relaxed); }
    std::size_t Readers() const { return threads_.size(); }

  private:
    struct Slot {
        FileToHash file;
        HashedFile result;
        bool done = false;
        std::uint64_t place = 0;   // where its first byte lies, when left for the disk reader
        std::uint64_t number = 0;  // in the order asked
        FileHashing::Cache cache = FileHashing::Cache::kUnknown;  // as found when left
        std::uint64_t bytesAhead = 0;                             // asked to be read ahead
    };
    void Run(FileHashing& hashing, bool diskReader);
    bool SkipKnown();
    void ReadInOrder(std::unique_lock<std::mutex>& lock, FileHashing& hashing);
    void SortOut(std::unique_lock<std::mutex>& lock, FileHashing& hashing);
    void Sweep(std::unique_lock<std::mutex>& lock, FileHashing& hashing);
    void HashSlot(Slot& slot, FileHashing& hashing);
    // Hashes the slot's file where reading it waits on no disk; whether it did (where its first
    // byte lies is noted in the slot otherwise).
    bool HashIfCached(Slot& slot, FileHashing& hashing);
    // Runs `hash` for the slot's file; where it gave a result (or threw), keeps it and counts it.
    template <typename HashIt>
    bool Record(Slot& slot, const HashIt& hash);
    void Queue(Slot slot, const Take& take, const std::function<void()>& wait);
    void WaitWhile(const std::function<bool()>& busy, const Take& take,
                   const std::function<void()>& wait);
    void Stop() noexcept;
    // The slot the asking thread waits to be done (the lock held, slots_ not empty).
    std::uint64_t SlotToAwait() const;
    // Marks the slot done and wakes the asking thread where it waits for that one (the lock held).
    void MarkDone(Slot& slot);

    const int folderFd_;
    const Setup setup_;
    std::mutex mutex_;
    std::condition_variable asked_;   // readers wait here for files
    std::condition_variable done_;    // the asking thread waits here for results
    std::deque<Slot*> toSweep_;       // in the disk's order: asked, not cached whole, not yet taken
    std::uint64_t toSweepBytes_ = 0;  // their sizes as listed
    std::deque<Slot> slots_;          // asked and not handed back, in the order asked
    std::uint64_t frontNumber_ = 0;   // the number (in the order asked) of slots_.front()
    std::uint64_t nextToRead_ = 0;    // the number of the first slot no reader took or skipped
    std::uint64_t awaited_ = ~std::uint64_t{0};  // the number of the slot waited for, if any
    std::vector<Slot> handing_;                  // the asking thread's: slots being handed back
    std::atomic<bool> stopping_{false};
    const std::function<bool()> stopAsked_{
        [this] { return stopping_.load(std::memory_order_relaxed); }};
    std::atomic<std::uint64_t> filesRead_{0};
    std::atomic<std::uint64_t> bytesRead_{0};
    std::vector<std::unique_ptr<FileHashing>> hashings_;  // one a reader
    FileHashing* inline_ = nullptr;  // the asking thread's, when no reader could be started
    std::vector<std::thread> threads_;
};

}  // namespace quorvale::reading
