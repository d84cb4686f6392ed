// Starting a thread, in one place. The system may refuse one (EAGAIN once the user runs as many
// processes as RLIMIT_NPROC allows, or no memory for its stack): that is told as no thread, never
// as an exception that ends the program, and whoever asked does the work on its own thread. A
// thread started here blocks the termination signals, so that they reach the thread that handles
// them, never a worker. Tests make starts fail with RefuseThreadStarts.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <thread>

namespace quorvale::runtime {

// A thread running `body`, or nothing when none can be started.
std::optional<std::thread> StartThread(std::function<void()> body);

// For tests: from now on the n-th start (counted from 1 from this call) is refused when
// `refuse(n)` says so; an empty function refuses none. Not to be called while threads start.
void RefuseThreadStarts(std::function<bool(std::uint64_t)> refuse);

// How many starts were refused so far, by the system or by RefuseThreadStarts.
std::uint64_t ThreadStartsRefused();

}  // namespace quorvale::runtime
