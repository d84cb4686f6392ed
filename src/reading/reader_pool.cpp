#include "reading/reader_pool.h"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

#include "runtime/thread_start.h"

namespace quorvale::reading {

namespace {

// Handles waiting to be closed before a reader is woken for them.
constexpr std::size_t kCloseBatch = 32;
// Reads waiting per reader at work before another is woken.
constexpr std::size_t kWakeBatch = 4;
// How long the walk checks for its request before it sleeps: most reads ahead are ready when the
// walk gets to them, and a short spin spares a sleep and a wake-up for some of the rest.
constexpr int kSpinChecks = 2000;

// Lets the other hardware thread of the core run while spinning.
inline void Relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

}  // namespace

bool WalkOrder::Before(const WalkOrder& a, const WalkOrder& b) {
    const WalkOrder* x = &a;
    const WalkOrder* y = &b;
    while (x->depth > y->depth) x = x->parent.get();
    while (y->depth > x->depth) y = y->parent.get();
    // Climbing to their common place, the topmost index where the two differ decides.
    int decided = 0;
    while (x != y) {
        if (x->index != y->index) decided = x->index < y->index ? -1 : 1;
        x = x->parent.get();
        y = y->parent.get();
    }
    return decided != 0 ? decided < 0 : a.depth < b.depth;
}

const WalkOrder& ReaderPool::OrderOf(const Job& job) {
    return *job.read->order;
}

ReaderPool::ReaderPool(std::size_t threads, std::size_t atWork, int niceness,
                       std::chrono::microseconds openDelay)
    : mostReaders_(std::max<std::size_t>(threads, 1)), niceness_(niceness), openDelay_(openDelay) {
    readers_.reserve(mostReaders_);
    SetConcurrency(atWork);
}

ReaderPool::~ReaderPool() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    work_.notify_all();
    for (std::thread& reader : readers_) reader.join();
    // What no reader ran goes now; its handles close with it.
    urgent_.clear();
    reads_.clear();
    closes_.clear();
}

void ReaderPool::Submit(std::vector<std::shared_ptr<ReadRequest>> requests) {
    if (requests.empty()) return;
    bool wake = false;
    {
        const std::lock_guard lock(mutex_);
        // In the walk's order: a batch is in that order, and goes in where it belongs among the
        // reads still waiting (the subfolders of a folder read ahead come before its later
        // siblings, requested earlier).
        auto from = reads_.begin();
        for (auto& request : requests) {
            from = std::upper_bound(from, reads_.end(), *request->order,
                                    [](const WalkOrder& order, const Job& job) {
                                        return WalkOrder::Before(order, *job.read->order);
                                    });
            from = reads_.insert(from, Job{std::move(request), nullptr, {}}) + 1;
        }
        queuedReads_ += requests.size();
        // Readers are woken in batches, not once a folder: one when none is at work or the
        // queue has grown long; each reader that finds more waiting wakes the next.
        wake = idle_ > 0 && busy_ < wanted_ && (busy_ == 0 || queuedReads_ >= kWakeBatch * busy_);
    }
    if (wake) work_.notify_one();
}

void ReaderPool::SubmitFirst(std::shared_ptr<ReadRequest> request) {
    {
        const std::lock_guard lock(mutex_);
        urgent_.push_back(Job{std::move(request), nullptr, {}});
        ++queuedReads_;
    }
    work_.notify_one();
}

void ReaderPool::Promote(const std::shared_ptr<ReadRequest>& request) {
    bool wake = false;
    {
        const std::lock_guard lock(mutex_);
        // Among the reads of its place in the walk's order (a folder requested again after a
        // cancelled request for it was left queued).
        const auto [first, last] = std::equal_range(
            reads_.begin(), reads_.end(), *request->order,
            [](const auto& a, const auto& b) { return WalkOrder::Before(OrderOf(a), OrderOf(b)); });
        const auto it =
            std::find_if(first, last, [&request](const Job& job) { return job.read == request; });
        if (it == last) return;
        urgent_.push_back(std::move(*it));
        reads_.erase(it);
        // The walk waits for it: a reader takes it now, even if too few reads wait to wake one.
        wake = idle_ > 0 && busy_ < wanted_;
    }
    if (wake) work_.notify_one();
}

void ReaderPool::Run(std::function<void()> task) {
    if (readers_.empty()) {
        task();
        return;
    }
    {
        const std::lock_guard lock(mutex_);
        urgent_.push_back(Job{nullptr, nullptr, std::move(task)});
    }
    work_.notify_one();
}

void ReaderPool::Close(std::shared_ptr<FolderHandle> handle) {
    if (!handle || readers_.empty()) return;  // without readers it closes here, now
    const std::size_t waiting = toClose_.fetch_add(1, std::memory_order_acq_rel) + 1;
    bool wake = false;
    {
        const std::lock_guard lock(mutex_);
        closes_.push_back(Job{nullptr, std::move(handle), {}});
        // A reader at work gets to it after its read; a batch wakes one only when none is.
        wake = busy_ == 0 && waiting >= kCloseBatch;
    }
    if (wake) work_.notify_one();
}

void ReaderPool::SetConcurrency(std::size_t readers) {
    const std::size_t wanted = std::clamp<std::size_t>(readers, 1, mostReaders_);
    // Readers are started when first wanted: a walk from the page cache never starts most of them.
    // Those the system refuses are done without: with none at all, the walk's thread runs every
    // job itself (see WaitFor).
    while (readers_.size() < wanted) {
        std::optional<std::thread> reader = runtime::StartThread([this] { Work(niceness_); });
        if (!reader) break;
        readers_.push_back(std::move(*reader));
    }
    {
        const std::lock_guard lock(mutex_);
        wanted_ = wanted;
    }
    work_.notify_all();
}

void ReaderPool::FlushCloses() {
    if (toClose_.load(std::memory_order_acquire) > 0) work_.notify_one();
}

void ReaderPool::CloseQueuedNow() {
    std::vector<std::shared_ptr<FolderHandle>> closing;  // closed once the lock is let go
    {
        const std::lock_guard lock(mutex_);
        for (Job& job : closes_) closing.push_back(std::move(job.close));
        closes_.clear();
    }
    const std::size_t count = closing.size();
    closing.clear();
    toClose_.fetch_sub(count, std::memory_order_acq_rel);
}

void ReaderPool::AwaitReads() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (reading_.load(std::memory_order_acquire) > 0 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

void ReaderPool::WaitFor(const ReadRequest& request, std::chrono::milliseconds slice,
                         const std::function<void()>& progress, const std::function<void()>& wait,
                         bool help) {
    if (readers_.empty()) {
        RunHere(request);
        return;
    }
    auto lastWait = std::chrono::steady_clock::now();
    if (help) HelpUntilDone(request, slice, progress, wait, lastWait);
    for (int spin = 0; spin < kSpinChecks && !request.Done(); ++spin) Relax();
    std::unique_lock lock(mutex_);
    std::uint64_t seen = ReadsFinished();
    while (!request.Done()) {
        walkWaiting_ = true;
        finished_.wait_until(lock, lastWait + slice,
                             [&] { return request.Done() || ReadsFinished() != seen; });
        walkWaiting_ = false;
        if (request.Done()) break;
        seen = ReadsFinished();
        lock.unlock();
        if (progress) progress();
        if (wait && std::chrono::steady_clock::now() >= lastWait + slice) {
            wait();
            lastWait = std::chrono::steady_clock::now();
        }
        lock.lock();
    }
}

// While `request` runs on a reader, the walk runs the reads queued next itself, in the order a
// reader would take them, rather than spin: on two processors a spinning walk only holds one of
// them from the readers (which run nicer than it). Stops when nothing is queued.
void ReaderPool::HelpUntilDone(const ReadRequest& request, std::chrono::milliseconds slice,
                               const std::function<void()>& progress,
                               const std::function<void()>& wait,
                               std::chrono::steady_clock::time_point& lastWait) {
    while (!request.Done()) {
        Job job;
        {
            const std::lock_guard lock(mutex_);
            std::deque<Job>* from = !urgent_.empty() && urgent_.front().read ? &urgent_
                                    : !reads_.empty()                        ? &reads_
                                                                             : nullptr;
            if (from == nullptr) return;
            job = std::move(from->front());
            from->pop_front();
            --queuedReads_;
        }
        RunRead(*job.read);
        job = Job{};
        finishedCount_.fetch_add(1, std::memory_order_acq_rel);
        if (progress) progress();
        if (wait && std::chrono::steady_clock::now() >= lastWait + slice) {
            wait();
            lastWait = std::chrono::steady_clock::now();
        }
    }
}

// Without readers: runs the jobs queued on the calling thread, what the walk waits for first, until
// `request` is done.
void ReaderPool::RunHere(const ReadRequest& request) {
    while (!request.Done()) {
        Job job;
        {
            const std::lock_guard lock(mutex_);
            if (!HasJobs()) return;  // not queued: nothing here can do it
            job = TakeJob();
            --busy_;
        }
        RunJob(job);
        if (job.read) finishedCount_.fetch_add(1, std::memory_order_acq_rel);
    }
}

void ReaderPool::RunRead(ReadRequest& request) {
    int state = ReadRequest::kPending;
    if (request.state_.compare_exchange_strong(state, ReadRequest::kRunning,
                                               std::memory_order_acq_rel)) {
        const std::size_t reading = reading_.fetch_add(1, std::memory_order_acq_rel) + 1;
        std::size_t most = mostReads_.load(std::memory_order_acquire);
        while (reading > most && !mostReads_.compare_exchange_weak(most, reading)) {
        }
        const auto start = std::chrono::steady_clock::now();
        if (openDelay_.count() > 0) std::this_thread::sleep_for(openDelay_);
        FolderContents& contents = request.contents;
        const int parentFd = request.parent ? request.parent->fd : -1;
        const bool taken = TakeWithoutReading(parentFd, request.name, contents, request.byteLimit);
        const bool opened = taken || OpenFolder(parentFd, request.name, contents);
        request.parent.reset();  // the parent may close now, as far as this read goes
        if (opened) {
            request.tooLarge = !taken && !ReadEntries(contents, request.byteLimit);
            if (!request.tooLarge) SortEntries(contents);
        }
        request.took = std::chrono::steady_clock::now() - start;
        reading_.fetch_sub(1, std::memory_order_acq_rel);
        state = ReadRequest::kRunning;
        if (request.state_.compare_exchange_strong(state, ReadRequest::kDone,
                                                   std::memory_order_acq_rel)) {
            return;
        }
    }
    // Cancelled: nobody will look at the slot, so what it holds goes here.
    request.contents = FolderContents();
    request.parent.reset();
    request.state_.store(ReadRequest::kDropped, std::memory_order_release);
}

// Runs one job, outside the lock.
void ReaderPool::RunJob(Job& job) {
    if (job.close) {
        job.close.reset();
        toClose_.fetch_sub(1, std::memory_order_acq_rel);
    } else if (job.task) {
        job.task();
    } else {
        RunRead(*job.read);
    }
}

// Takes the next job off the queue (under the lock), waking the next reader when more wait.
ReaderPool::Job ReaderPool::TakeJob() {
    // What the walk waits for first; then reads, but closes once enough wait.
    std::deque<Job>& from = !urgent_.empty()                                  ? urgent_
                            : !reads_.empty() && closes_.size() < kCloseBatch ? reads_
                                                                              : closes_;
    Job job = std::move(from.front());
    from.pop_front();
    ++busy_;
    if (job.read) {
        --queuedReads_;
        if (queuedReads_ > 0 && idle_ > 0 && busy_ < wanted_) work_.notify_one();
    }
    return job;
}

void ReaderPool::Work(int niceness) {
    // Reading ahead yields the processor to the walk, which lists what it reads (and, in the
    // window, keeps the window alive).
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, 0);
    if (errno == 0 && niceness > 0) {
        (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()),
                            std::min(nice + niceness, 19));
    }
    std::unique_lock lock(mutex_);
    for (;;) {
        ++idle_;
        work_.wait(lock, [this] { return stopping_ || (HasJobs() && busy_ < wanted_); });
        --idle_;
        if (stopping_) return;
        Job job = TakeJob();
        lock.unlock();
        RunJob(job);
        const bool read = job.read != nullptr;
        job = Job{};  // whatever the job held goes outside the lock
        if (read) finishedCount_.fetch_add(1, std::memory_order_acq_rel);
        // One lock a job: a reader gives back its turn and takes the next job at once.
        lock.lock();
        --busy_;
        // The walk checks a request's state under this lock before it sleeps, and the reader
        // marked it done before taking the lock: no wake-up is missed.
        if (read && walkWaiting_) finished_.notify_all();
    }
}

}  // namespace quorvale::reading
