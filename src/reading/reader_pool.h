// Reader threads as plain executors, in the manner of a thread pool: each takes the next job from
// three queues (what the walk waits for first, then reads ahead in the walk's order, and closes in
// batches once enough have gathered), runs it without holding the lock, and hands the result back
// in the job's own slot.
// The readers decide nothing about what to read: the walk (see read_plan.h) makes every request
// and is the only one to look at a slot, once it is marked done. Shutdown is stop, wake all, join.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "reading/folder_read.h"

namespace quorvale::reading {

// An open folder handle, closed when the last of those using it (the walk, the readers opening its
// subfolders) lets go.
struct FolderHandle {
    explicit FolderHandle(runtime::UniqueFd descriptor)
        : owned(std::move(descriptor)), fd(owned.Get()) {}
    const runtime::UniqueFd owned;
    const int fd;  // the owned descriptor, as the readers use it
};

// Where a folder comes in the walk's depth-first order: its index among its parent's subfolders,
// below its parent's place. Made by the walk and shared with the requests, which outlive the
// walk's own record of a folder when they are cancelled.
struct WalkOrder {
    WalkOrder(std::shared_ptr<const WalkOrder> above, std::size_t at)
        : parent(std::move(above)), index(at), depth(parent ? parent->depth + 1 : 1) {}
    // Whether `a` comes before `b`: by their subfolder indices from the top, a folder before
    // those below it.
    static bool Before(const WalkOrder& a, const WalkOrder& b);

    const std::shared_ptr<const WalkOrder> parent;  // null below the top of a walk
    const std::size_t index;
    const std::size_t depth;
};

// One folder to read. The walk fills in what a reader needs and never changes it afterwards; the
// reader that runs it fills in the slot and only then marks it done.
struct ReadRequest {
    // What to read: `name` under `parent` (which the reader lets go of once it has opened it), or
    // the path `name` when there is no parent.
    std::shared_ptr<FolderHandle> parent;
    std::string name;
    // Read no more than this many bytes of names and entries (0: no limit); a larger folder is
    // only opened (see `tooLarge`).
    std::size_t byteLimit = 0;
    // Where it comes in the walk's order: reads ahead are taken in that order.
    std::shared_ptr<const WalkOrder> order;
    // The slot: the walk's to read once Done() is true, never before.
    FolderContents contents;
    bool tooLarge = false;  // opened and left unread: larger than byteLimit
    std::chrono::steady_clock::duration took{};

    bool Done() const { return state_.load(std::memory_order_acquire) == kDone; }
    // The walk no longer wants the folder. True: the reader lets go of whatever it reads (a reader
    // that has not begun skips it) and then marks the request Dropped(); false: the request was
    // done already, and its slot is the walk's to let go of.
    bool Cancel() {
        int state = kPending;
        if (state_.compare_exchange_strong(state, kCancelled, std::memory_order_acq_rel)) {
            return true;
        }
        return state == kRunning &&
               state_.compare_exchange_strong(state, kCancelled, std::memory_order_acq_rel);
    }
    // Cancels the request if no reader has begun it (the walk then reads the folder itself);
    // false once a reader has.
    bool CancelUnstarted() {
        int state = kPending;
        return state_.compare_exchange_strong(state, kCancelled, std::memory_order_acq_rel);
    }
    // A cancelled request whose reader has let go of everything it held.
    bool Dropped() const { return state_.load(std::memory_order_acquire) == kDropped; }

  private:
    friend class ReaderPool;
    static constexpr int kPending = 0;
    static constexpr int kRunning = 1;
    static constexpr int kDone = 2;
    static constexpr int kCancelled = 3;
    static constexpr int kDropped = 4;
    // Pending, then Running (a reader took it), then Done; the walk may make it Cancelled while
    // it is Pending or Running, and the reader then makes it Dropped.
    std::atomic<int> state_ = kPending;
};

class ReaderPool {
  public:
    // Up to `threads` readers, `atWork` of them at work at first, each `niceness` nicer than the
    // thread that starts them. Each open of a folder first waits `openDelay` (a slow medium, for
    // tests and the bench).
    ReaderPool(std::size_t threads, std::size_t atWork, int niceness,
               std::chrono::microseconds openDelay = std::chrono::microseconds(0));
    ~ReaderPool();
    ReaderPool(const ReaderPool&) = delete;
    ReaderPool& operator=(const ReaderPool&) = delete;

    // Queues reads ahead (in the walk's order, each with its `order`) among those already queued,
    // by their order, and wakes readers for them.
    void Submit(std::vector<std::shared_ptr<ReadRequest>> requests);
    // Queues a read ahead of every other job: the walk waits for it.
    void SubmitFirst(std::shared_ptr<ReadRequest> request);
    // Moves a queued read ahead of the other reads: the walk needs it next.
    void Promote(const std::shared_ptr<ReadRequest>& request);
    // Runs `task` on a reader (for work the walk waits for while it keeps catching up).
    void Run(std::function<void()> task);
    // Has a reader close `handle` (closing a folder that was read can cost as much as reading it).
    // Closes are handed over in batches: a reader is woken for them once enough wait, or when
    // FlushCloses is called.
    void Close(std::shared_ptr<FolderHandle> handle);
    void FlushCloses();

    // Waits until `request` is done, calling `progress` whenever another read has finished (so
    // that the caller can request more at once) and `wait` every `slice`; what they throw passes
    // through (the request then stays the caller's to cancel). With `help` (reads come from the
    // page cache) the caller runs queued reads meanwhile.
    void WaitFor(const ReadRequest& request, std::chrono::milliseconds slice,
                 const std::function<void()>& progress, const std::function<void()>& wait,
                 bool help = false);

    // Handles given to Close that are not closed yet.
    std::size_t HandlesToClose() const { return toClose_.load(std::memory_order_acquire); }
    // Closes the handles given to Close that no reader has begun to close, on the calling thread
    // (when the process is out of handles).
    void CloseQueuedNow();

    // Waits until no read is running (for at most a second: a read is one folder).
    void AwaitReads();

    // At most this many readers at work at once (at least one, at most the pool's threads),
    // starting those not started yet (as many as the system gives: with none, the walk's thread
    // runs each job when it waits for it). Called by the walk's thread only.
    void SetConcurrency(std::size_t readers);

    // How many reads have finished so far.
    std::uint64_t ReadsFinished() const { return finishedCount_.load(std::memory_order_acquire); }
    // The most reads that ran at once so far.
    std::size_t MostReadsAtOnce() const { return mostReads_.load(std::memory_order_acquire); }

  private:
    struct Job {
        std::shared_ptr<ReadRequest> read;
        std::shared_ptr<FolderHandle> close;
        std::function<void()> task;
    };

    void Work(int niceness);
    Job TakeJob();
    void RunJob(Job& job);
    static const WalkOrder& OrderOf(const Job& job);
    static const WalkOrder& OrderOf(const WalkOrder& order) { return order; }
    void RunRead(ReadRequest& request);
    void RunHere(const ReadRequest& request);
    void HelpUntilDone(const ReadRequest& request, std::chrono::milliseconds slice,
                       const std::function<void()>& progress, const std::function<void()>& wait,
                       std::chrono::steady_clock::time_point& lastWait);

    std::mutex mutex_;
    std::condition_variable work_;      // readers wait here for a job
    std::condition_variable finished_;  // the walk waits here for its request
    bool HasJobs() const { return !urgent_.empty() || !reads_.empty() || !closes_.empty(); }
    std::deque<Job> urgent_;  // what the walk waits for, first
    std::deque<Job> reads_;   // reads ahead, in the walk's order
    std::deque<Job> closes_;
    bool stopping_ = false;
    std::size_t idle_ = 0;    // readers waiting for a job, under the lock
    std::size_t busy_ = 0;    // readers running a job, under the lock
    std::size_t wanted_ = 0;  // readers that may run jobs at once, under the lock
    const std::size_t mostReaders_;
    const int niceness_;
    std::size_t queuedReads_ = 0;  // read jobs not yet taken, under the lock
    bool walkWaiting_ = false;     // the walk sleeps in WaitFor, under the lock
    std::atomic<std::uint64_t> finishedCount_ = 0;
    std::atomic<std::size_t> toClose_ = 0;
    std::atomic<std::size_t> reading_ = 0;
    std::atomic<std::size_t> mostReads_ = 0;
    const std::chrono::microseconds openDelay_;
    std::vector<std::thread> readers_;
};

}  // namespace quorvale::reading
