#include "listing/list_file_committer.h"

#include <chrono>
#include <utility>

#include "runtime/thread_start.h"

namespace quorvale::listing {

namespace {

constexpr auto kWaitSlice = std::chrono::milliseconds(10);

}  // namespace

ListFileCommitter::~ListFileCommitter() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    work_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void ListFileCommitter::Submit(std::int16_t number, std::unique_ptr<runtime::TextOutput> output) {
    Queued file{number, std::move(output)};
    {
        std::unique_lock lock(mutex_);
        if (failure_) return;  // abandoned: its temporary file goes with it
        if (!thread_.joinable()) {
            if (std::optional<std::thread> thread = runtime::StartThread([this] { Run(); })) {
                thread_ = std::move(*thread);
            } else {
                // No thread to spare: put it in place here, after those before it.
                settled_.wait(lock, [this] { return queue_.empty() && committing_ == 0; });
                ++committing_;
                lock.unlock();
                Commit(file);
                return;
            }
        }
        queue_.push_back(std::move(file));
    }
    work_.notify_one();
}

void ListFileCommitter::WaitUntilAtMost(std::size_t pending, const std::function<void()>& wait) {
    std::unique_lock lock(mutex_);
    const auto settled = [this, pending] {
        return failure_ || queue_.size() + committing_ <= pending;
    };
    while (!settled()) {
        if (!wait) {
            settled_.wait(lock, settled);
            break;
        }
        if (settled_.wait_for(lock, kWaitSlice, settled)) break;
        lock.unlock();
        wait();  // syncing can take longer than a person waits for a click
        lock.lock();
    }
    if (failure_) {
        CommitFailed failure = std::move(*failure_);
        failure_.reset();
        throw failure;
    }
}

// Puts one file in place; the first failure abandons every file queued after it.
void ListFileCommitter::Commit(Queued& file) {
    std::optional<CommitFailed> failed;
    try {
        file.second->Close();
    } catch (const runtime::RuntimeError& error) {
        failed = CommitFailed{file.first, error};
    }
    file.second.reset();
    std::deque<Queued> abandoned;
    {
        const std::lock_guard lock(mutex_);
        --committing_;
        if (failed && !failure_) {
            failure_ = std::move(failed);
            abandoned.swap(queue_);
        }
    }
    settled_.notify_all();
    abandoned.clear();  // their temporary files are removed outside the lock
}

void ListFileCommitter::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        work_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) return;  // stopping, with everything in place
        Queued file = std::move(queue_.front());
        queue_.pop_front();
        ++committing_;
        lock.unlock();
        Commit(file);
        lock.lock();
    }
}

}  // namespace quorvale::listing
