#include "window/closing_animation.h"

#include <QCoreApplication>
#include <QScreen>
#include <QWidget>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <stdexcept>
#include <thread>

#include "window/window_layout.h"

namespace quorvale::window {

namespace {

// Runs one step of the sequence; a step that fails is skipped.
template <typename Step>
void Try(Step&& step) {
    try {
        step();
    } catch (...) {
    }
}

// The window seen by the closing sequence, in twips.
class QtWindowFrame final : public WindowFrame {
  public:
    explicit QtWindowFrame(QWidget* window) : window_(window) {}
    double Top() const override { return Twips(window_->frameGeometry().top()); }
    double Left() const override { return Twips(window_->frameGeometry().left()); }
    double Width() const override { return Twips(window_->frameGeometry().width()); }
    double Height() const override { return Twips(window_->frameGeometry().height()); }
    void SetTop(double twips) override { window_->move(window_->x(), Pixels(twips)); }
    void SetLeft(double twips) override { window_->move(Pixels(twips), window_->y()); }
    void SetWidth(double twips) override {
        const int frame = window_->frameGeometry().width() - window_->width();
        window_->resize(std::max(1, Pixels(twips) - frame), window_->height());
    }
    void SetHeight(double twips) override {
        const int frame = window_->frameGeometry().height() - window_->height();
        window_->resize(window_->width(), std::max(1, Pixels(twips) - frame));
    }
    double ScreenWidth() const override {
        const QScreen* screen = window_->screen();
        if (screen == nullptr) throw std::runtime_error("no screen");
        return Twips(screen->geometry().width());
    }
    void Show() override {
        // Paint and send the moves to the window system without handling any input: no other
        // handler of the program runs during the sequence.
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    }

  private:
    static double Twips(int pixels) { return pixels * double{kTwipsPerPixel}; }
    static int Pixels(double twips) {
        return static_cast<int>(std::lround(twips / kTwipsPerPixel));
    }
    QWidget* window_;
};

}  // namespace

void PlayClosingAnimation(QWidget* window) {
    if (!window->isVisible() || window->isMinimized()) return;
    window->setMinimumSize(0, 0);
    window->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    QtWindowFrame frame(window);
    SteadyAnimationClock clock;
    ClosingAnimation::Play(frame, clock);
}

int ClosingAnimation::Play(WindowFrame& frame, AnimationClock& clock) {
    const double start = clock.Now();
    int needed = 1;
    Try([&] {
        const double distance = frame.ScreenWidth() - frame.Top();
        if (distance >= 0) needed = static_cast<int>(std::floor(distance / kMoveStep)) + 1;
    });
    const double interval = kTargetSeconds / needed;
    const int maxPasses = needed + kExtraPasses;

    int pass = 0;
    for (;;) {
        ++pass;
        Try([&] { frame.SetTop(frame.Top() + kMoveStep); });
        Try([&] { frame.SetLeft(frame.Left() + kMoveStep); });
        Try([&] { frame.SetWidth(frame.Width() - kSizeStep); });
        Try([&] { frame.SetHeight(frame.Height() - kSizeStep); });
        Try([&] { frame.Show(); });
        clock.SleepUntil(start + pass * interval);

        bool past = true;  // a failing end test ends the sequence
        Try([&] { past = frame.Top() > frame.ScreenWidth(); });
        if (past || pass >= maxPasses || clock.Now() - start >= kMaxSeconds) return pass;
    }
}

double SteadyAnimationClock::Now() const {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void SteadyAnimationClock::SleepUntil(double seconds) {
    const double wait = seconds - Now();
    if (wait > 0) std::this_thread::sleep_for(std::chrono::duration<double>(wait));
}

}  // namespace quorvale::window
