#include "runtime/thread_start.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <mutex>
#include <system_error>
#include <utility>

namespace quorvale::runtime {

namespace {

std::mutex refusalMutex;
std::function<bool(std::uint64_t)> refusal;  // under refusalMutex
std::uint64_t startsSinceRefusal = 0;        // under refusalMutex
std::atomic<std::uint64_t> refusedCount = 0;

bool Refused() {
    const std::lock_guard lock(refusalMutex);
    ++startsSinceRefusal;
    return refusal && refusal(startsSinceRefusal);
}

// Blocks every signal a process can block on the calling thread while it lives, then puts the
// mask back: a thread inherits the mask of the thread that starts it.
class SignalsBlocked {
  public:
    SignalsBlocked() {
        sigset_t all;
        ::sigfillset(&all);
        blocked_ = ::pthread_sigmask(SIG_BLOCK, &all, &before_) == 0;
    }
    ~SignalsBlocked() {
        if (blocked_) ::pthread_sigmask(SIG_SETMASK, &before_, nullptr);
    }
    SignalsBlocked(const SignalsBlocked&) = delete;
    SignalsBlocked& operator=(const SignalsBlocked&) = delete;

  private:
    sigset_t before_{};
    bool blocked_ = false;
};

}  // namespace

std::optional<std::thread> StartThread(std::function<void()> body) {
    if (Refused()) {
        refusedCount.fetch_add(1, std::memory_order_relaxed);
        return std::nullopt;
    }
    const SignalsBlocked blocked;
    try {
        return std::thread(std::move(body));
    } catch (const std::system_error&) {
        refusedCount.fetch_add(1, std::memory_order_relaxed);
        return std::nullopt;
    }
}

void RefuseThreadStarts(std::function<bool(std::uint64_t)> refuse) {
    const std::lock_guard lock(refusalMutex);
    refusal = std::move(refuse);
    startsSinceRefusal = 0;
}

std::uint64_t ThreadStartsRefused() {
    return refusedCount.load(std::memory_order_relaxed);
}

}  // namespace quorvale::runtime
