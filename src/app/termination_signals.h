// SIGTERM, SIGINT and SIGHUP. CatchTerminationSignals, called first thing in main, installs
// handlers that only note the signal and write its number to a pipe, so that no signal kills the
// program before it can end in order: the headless Save polls TerminationSignal() from its walk,
// and a TerminationSignals notifier delivers the signal on the window's thread from the event loop
// (or from a walk's catch-up), where closing the window is safe.
#pragma once

#include <QObject>
#include <functional>

class QSocketNotifier;

namespace quorvale::app {

void CatchTerminationSignals();

// The last termination signal caught, 0 if none.
int TerminationSignal();

class TerminationSignals final : public QObject {
  public:
    explicit TerminationSignals(std::function<void(int signal)> onSignal,
                                QObject* parent = nullptr);

  private:
    void Receive();

    std::function<void(int)> onSignal_;
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace quorvale::app
