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

// The window seen by the closing sequence, in twips. Under a window manager a move or a resize is
// only a request, applied later (or clamped, or refused), so reading the window back after each
// step would step from stale places and go nowhere. The frame therefore keeps its own model of the
// outer bounds, read from the window once, steps the model, and asks the window to follow it once
// per pass.
class QtWindowFrame final : public WindowFrame {
  public:
    explicit QtWindowFrame(QWidget* window) : window_(window) {
        const QRect outer = window->frameGeometry();
        top_ = Twips(outer.top());
        left_ = Twips(outer.left());
        width_ = Twips(outer.width());
        height_ = Twips(outer.height());
        // The frame's own size (title bar and borders) beside the client area.
        frameWidth_ = outer.width() - window->width();
        frameHeight_ = outer.height() - window->height();
    }
    double Top() const override { return top_; }
    double Left() const override { return left_; }
    double Width() const override { return width_; }
    double Height() const override { return height_; }
    void SetTop(double twips) override { top_ = twips; }
    void SetLeft(double twips) override { left_ = twips; }
    // The smallest size is one pixel of client area; the window system may keep it larger.
    void SetWidth(double twips) override { width_ = std::max(twips, Twips(frameWidth_ + 1)); }
    void SetHeight(double twips) override { height_ = std::max(twips, Twips(frameHeight_ + 1)); }
    double ScreenWidth() const override {
        const QScreen* screen = window_->screen();
        if (screen == nullptr) throw std::runtime_error("no screen");
        return Twips(screen->geometry().width());
    }
    void Show() override {
        // The window follows the model once a frame: a window manager sent a request every pass
        // would fall behind them, and the window would trail the model to the end. Between frames
        // a pass costs only arithmetic, so a busy machine cannot hold the model back either.
        if (std::chrono::steady_clock::now() - lastRequest_ >= kFrame) SendToWindow();
    }

    // Asks the window to take the model's place and size now.
    void SendToWindow() {
        lastRequest_ = std::chrono::steady_clock::now();
        window_->resize(Pixels(width_) - frameWidth_, Pixels(height_) - frameHeight_);
        window_->move(Pixels(left_), Pixels(top_));
        // Paint and send the requests to the window system without handling any input: no other
        // handler of the program runs during the sequence.
        QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
    }

  private:
    static double Twips(int pixels) { return pixels * double{kTwipsPerPixel}; }
    static int Pixels(double twips) {
        return static_cast<int>(std::lround(twips / kTwipsPerPixel));
    }

    static constexpr std::chrono::milliseconds kFrame{16};

    QWidget* window_;
    std::chrono::steady_clock::time_point lastRequest_;
    double top_;
    double left_;
    double width_;
    double height_;
    int frameWidth_;
    int frameHeight_;
};

}  // namespace

void PlayClosingAnimation(QWidget* window) {
    if (!window->isVisible() || window->isMinimized()) return;
    window->setMinimumSize(0, 0);
    window->setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    QtWindowFrame frame(window);
    SteadyAnimationClock clock;
    ClosingAnimation::Play(frame, clock);
    frame.SendToWindow();  // where the sequence ended, also between two frames
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
