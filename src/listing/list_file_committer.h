// Puts written list files in place on one thread beside the walk: each is made durable and renamed
// onto its name (see TextOutput::Close), strictly in the order they were written and one after the
// other, so that whatever happens the files saved are ListTex1 up to some number with no gap. The
// walk's thread only queues files and waits until few enough are pending. At the first failure
// the committer stops: every file queued after the failed one is abandoned (its temporary file
// removed, never put in place), and the failure is handed to the walk when it next waits.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include "runtime/runtime_error.h"
#include "runtime/text_output.h"

namespace quorvale::listing {

// A list file that could not be put in place, and why.
struct CommitFailed {
    std::int16_t number;
    runtime::RuntimeError error;
};

class ListFileCommitter {
  public:
    ListFileCommitter() = default;
    // Commits whatever is queued (no file is left half-committed), then stops and joins.
    ~ListFileCommitter();
    ListFileCommitter(const ListFileCommitter&) = delete;
    ListFileCommitter& operator=(const ListFileCommitter&) = delete;

    // Queues the written list file `number` to be put in place after those before it (at once, on
    // the calling thread, when no thread can be started). After a failure not yet handed over it
    // is abandoned at once.
    void Submit(std::int16_t number, std::unique_ptr<runtime::TextOutput> output);

    // Waits until at most `pending` files are queued or being put in place, calling `wait` every
    // few milliseconds meanwhile (what it throws passes through). Throws CommitFailed for the first
    // file that failed, once; after that the committer takes files again.
    void WaitUntilAtMost(std::size_t pending, const std::function<void()>& wait = {});

  private:
    using Queued = std::pair<std::int16_t, std::unique_ptr<runtime::TextOutput>>;
    void Run();
    void Commit(Queued& file);

    std::mutex mutex_;
    std::condition_variable work_;     // the committer waits here for a file
    std::condition_variable settled_;  // the walk waits here for files to be put in place
    std::deque<Queued> queue_;
    std::size_t committing_ = 0;  // files taken from the queue and not yet in place
    std::optional<CommitFailed> failure_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace quorvale::listing
