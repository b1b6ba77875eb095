#include "launcher/intro.h"

#include <cmath>

namespace launcher {

int twipsToPixels(double twips, int dpi) {
  return static_cast<int>(std::lround(twips * dpi / kTwipsPerInch));
}

double pixelsToTwips(int pixels, int dpi) {
  return pixels * kTwipsPerInch / dpi;
}

double TickClock::monotonicSeconds() {
  return std::floor(base_.monotonicSeconds() / tick_) * tick_;
}

IntroLogic::IntroLogic(IntroWindow& window, plat::Ui& ui, plat::Clock& clock, TwipRect screen,
                       StartSteps steps)
    : window_(window), ui_(ui), clock_(clock), screen_(screen), steps_(std::move(steps)) {}

void IntroLogic::load() {
  window_.setCaption(caption_);
  geom_.width = kPicture1.width;
  geom_.height = kPicture1.height;
  geom_.top = screen_.height / 2 - geom_.height / 2;
  geom_.left = screen_.width / 2 - geom_.width / 2;
  // Sized and centred before it shows, so it never flashes at its design
  // place and size.
  place();
  window_.show();
  // Without its timer the countdown caption just stays.
  timer2On_ = window_.startTimer(kTimer2, kTimer2IntervalMs);
  timer1On_ = true;
  // Without the start tick's timer nothing would ever end the splash: the
  // start-up runs at once instead, as the user who started it expects.
  if (!window_.startTimer(kTimer1, kTimer1IntervalMs)) startTick();
}

void IntroLogic::setCaption(const std::string& text) {
  caption_ = text;
  window_.setCaption(caption_);
}

void IntroLogic::countdownTick() {
  if (!timer2On_) return;  // a tick already queued when the timer stopped
  if (caption_ == kCountdown3) {
    setCaption(kCountdown2);
  } else if (caption_ == kCountdown2) {
    setCaption(kCountdown1);
  } else if (caption_ == kCountdown1) {
    setCaption(kCountdown0);
  } else if (caption_ == kCountdown0) {
    stopTimer(kTimer2);
  }
}

void IntroLogic::startTick() {
  if (started_ || !timer1On_ || state_ != State::kCounting) return;
  started_ = true;
  state_ = State::kAnimating;
  if (!collapse() || !stretch()) return;

  window_.hide();
  state_ = State::kChecking;
  if (!steps_.checkRuntime()) {
    end();
    return;
  }
  if (ended()) return;
  state_ = State::kLaunching;
  steps_.bootPro();
  end();
}

void IntroLogic::labelClick() {
  // The window is only visible, and so clickable, before it hides.
  if (state_ != State::kCounting && state_ != State::kAnimating) return;
  stopTimer(kTimer1);
  stopTimer(kTimer2);
  end();
}

void IntroLogic::Pause(double seconds) {
  const double start = clock_.monotonicSeconds();
  while (clock_.monotonicSeconds() - start < seconds) {
    if (!pump()) return;
  }
}

bool IntroLogic::pump() {
  if (ended()) return false;
  ui_.pumpEvents();
  return !ended();
}

void IntroLogic::place() {
  window_.place(geom_);
}

void IntroLogic::stopTimer(int id) {
  (id == kTimer1 ? timer1On_ : timer2On_) = false;
  window_.stopTimer(id);
}

void IntroLogic::end() {
  if (ended()) return;
  state_ = State::kEnded;
  window_.close();
  window_.endLauncher();
}

bool IntroLogic::collapse() {
  while (geom_.height >= kCollapseStep) {
    geom_.height -= kCollapseStep;
    geom_.top = screen_.height / 2 - geom_.height / 2;
    geom_.left = screen_.width / 2 - geom_.width / 2;
    place();
    Pause(kAnimationPause);
    if (!pump()) return false;
  }
  return true;
}

bool IntroLogic::stretch() {
  while (geom_.width <= screen_.width) {
    geom_.width += kStretchStep;
    place();
    if (!pump()) return false;
    geom_.left -= kStretchShift;
    place();
    if (!pump()) return false;
    Pause(kAnimationPause);
    if (ended()) return false;
  }
  return true;
}

}  // namespace launcher
