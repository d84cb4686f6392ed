// The window's input latency, as a benchmark measures it: probe events posted every 20 ms from a
// thread of their own, as clicks would arrive, and how long each waited to be taken.
#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace quorvale::bench {

using Clock = std::chrono::steady_clock;

// Receives the probe events posted during a walk and notes how long each waited.
class LatencyProbe final : public QObject {
  public:
    static constexpr QEvent::Type kType = QEvent::User;
    struct Probe : QEvent {
        explicit Probe(Clock::time_point at) : QEvent(kType), posted(at) {}
        Clock::time_point posted;
    };
    std::vector<double> waits;  // milliseconds

  protected:
    bool event(QEvent* e) override {
        if (e->type() != kType) return QObject::event(e);
        waits.push_back(
            std::chrono::duration<double, std::milli>(Clock::now() - static_cast<Probe*>(e)->posted)
                .count());
        return true;
    }
};

// Posts a probe event every 20 ms, as a click would arrive, from its start to its destruction.
class ProbePoster {
  public:
    explicit ProbePoster(LatencyProbe& probe)
        : thread_([this, &probe] {
              while (!done_) {
                  std::this_thread::sleep_for(std::chrono::milliseconds(20));
                  if (!done_) {
                      QCoreApplication::postEvent(&probe, new LatencyProbe::Probe(Clock::now()));
                  }
              }
          }) {}
    ~ProbePoster() {
        done_ = true;
        thread_.join();
    }
    ProbePoster(const ProbePoster&) = delete;
    ProbePoster& operator=(const ProbePoster&) = delete;

  private:
    std::atomic<bool> done_ = false;
    std::thread thread_;
};

}  // namespace quorvale::bench
