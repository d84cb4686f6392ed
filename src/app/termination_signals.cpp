#include "app/termination_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>

namespace quorvale::app {

namespace {

int signalPipe[2] = {-1, -1};
volatile std::sig_atomic_t lastSignal = 0;

void NoteSignal(int signal) {
    const int saved = errno;
    lastSignal = signal;
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
    return lastSignal;
}

TerminationSignals::TerminationSignals(std::function<void(int)> onSignal, QObject* parent)
    : QObject(parent), onSignal_(std::move(onSignal)) {
    CatchTerminationSignals();
    if (signalPipe[0] < 0) return;
    notifier_ = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &TerminationSignals::Receive);
}

void TerminationSignals::Receive() {
    unsigned char number = 0;
    while (::read(signalPipe[0], &number, 1) == 1) onSignal_(number);
}

}  // namespace quorvale::app
