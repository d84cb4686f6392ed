#include "app/termination_signals.h"

#include <unistd.h>

#include <QSocketNotifier>

namespace quorvale::app {

TerminationSignals::TerminationSignals(std::function<void(int)> onSignal, QObject* parent)
    : QObject(parent), onSignal_(std::move(onSignal)) {
    CatchTerminationSignals();
    const int pipe = TerminationSignalPipe();
    if (pipe < 0) return;
    notifier_ = new QSocketNotifier(pipe, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &TerminationSignals::Receive);
}

void TerminationSignals::Receive() {
    unsigned char number = 0;
    while (::read(TerminationSignalPipe(), &number, 1) == 1) onSignal_(number);
}

}  // namespace quorvale::app
