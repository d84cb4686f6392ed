// The termination signals (see signal_catcher.h) delivered on the window's thread from the event
// loop (or from a walk's catch-up), where closing the window is safe.
#pragma once

#include <QObject>
#include <functional>

#include "app/signal_catcher.h"

class QSocketNotifier;

namespace quorvale::app {

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
