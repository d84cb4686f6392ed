#include "app/signal_catcher.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <initializer_list>
#include <string>

#include "app/standard_streams.h"

namespace quorvale::app {

namespace {

int signalPipe[2] = {-1, -1};
// Written by the handler, read by any thread: a lock-free atomic is both safe in a handler and
// seen by the other threads, which a volatile sig_atomic_t is not.
std::atomic<int> lastSignal = 0;
static_assert(std::atomic<int>::is_always_lock_free);

void NoteSignal(int signal) {
    const int saved = errno;
    lastSignal.store(signal, std::memory_order_relaxed);
    const unsigned char number = static_cast<unsigned char>(signal);
    if (signalPipe[1] >= 0) [[maybe_unused]]
        const ssize_t n = ::write(signalPipe[1], &number, 1);
    errno = saved;
}

}  // namespace

void CatchTerminationSignals() {
    if (signalPipe[0] < 0 && ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        signalPipe[0] = signalPipe[1] = -1;
    }
    struct sigaction action {};
    action.sa_handler = NoteSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

int TerminationSignal() {
    return lastSignal.load(std::memory_order_relaxed);
}

int TerminationSignalPipe() {
    return signalPipe[0];
}

void StopIfSignalled() {
    if (const int signal = TerminationSignal(); signal != 0) throw StoppedBySignal{signal};
}

int ReportStopped(const StoppedBySignal& stopped) {
    WriteError("quorvale: stopped by signal " + std::to_string(stopped.signal) + "\n");
    return 128 + stopped.signal;
}

}  // namespace quorvale::app
