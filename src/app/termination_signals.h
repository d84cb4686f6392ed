// SIGTERM, SIGINT and SIGHUP, delivered on the window's thread: the signal handler only writes the
// signal's number to a pipe, and a socket notifier on the other end calls back from the event loop
// (or from a walk's catch-up), where closing the window is safe.
#pragma once

#include <QObject>
#include <functional>

class QSocketNotifier;

namespace quorvale::app {

class TerminationSignals final : public QObject {
  public:
    explicit TerminationSignals(std::function<void(int signal)> onSignal,
                                QObject* parent = nullptr);
    ~TerminationSignals() override;

  private:
    void Receive();

    std::function<void(int)> onSignal_;
    QSocketNotifier* notifier_ = nullptr;
};

}  // namespace quorvale::app
