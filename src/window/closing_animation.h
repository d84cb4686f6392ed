// The closing sequence: the window shrinks about its centre, slides down and to the right until its
// top edge has passed the screen's width, and then the program ends. Geometry is in twips.
//
// Every step ignores its own failure. The passes are paced so that the whole sequence takes about
// a second, and it always ends: after a bounded number of passes, and at the latest after
// kMaxSeconds, also when the window does not move at all.
#pragma once

class QWidget;

namespace quorvale::window {

// The window's outer bounds (frame included) and the screen's width, in twips. Any call may throw.
class WindowFrame {
  public:
    virtual ~WindowFrame() = default;
    virtual double Top() const = 0;
    virtual double Left() const = 0;
    virtual double Width() const = 0;
    virtual double Height() const = 0;
    virtual void SetTop(double twips) = 0;
    virtual void SetLeft(double twips) = 0;
    virtual void SetWidth(double twips) = 0;
    virtual void SetHeight(double twips) = 0;
    virtual double ScreenWidth() const = 0;
    // Gets the moves so far onto the screen.
    virtual void Show() = 0;
};

class AnimationClock {
  public:
    virtual ~AnimationClock() = default;
    virtual double Now() const = 0;  // seconds
    virtual void SleepUntil(double seconds) = 0;
};

struct ClosingAnimation {
    static constexpr double kMoveStep = 30;  // twips, Top and Left
    static constexpr double kSizeStep = 60;  // twips, Width and Height
    static constexpr double kTargetSeconds = 1.0;
    static constexpr double kMaxSeconds = 2.0;
    static constexpr int kExtraPasses = 60;  // beyond the passes the slide needs

    // Plays the sequence; returns the number of passes made.
    static int Play(WindowFrame& frame, AnimationClock& clock);
};

// The real clock: steady time and a sleeping wait.
class SteadyAnimationClock final : public AnimationClock {
  public:
    double Now() const override;
    void SleepUntil(double seconds) override;
};

// Plays the sequence on a shown window (a hidden or minimised one has nothing to show).
void PlayClosingAnimation(QWidget* window);

}  // namespace quorvale::window
