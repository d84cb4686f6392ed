#include "window/closing_animation.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>

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

}  // namespace

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
