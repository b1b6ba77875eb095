#pragma once
// The start-up window's behaviour without the window: the countdown, the
// collapse-and-stretch animation, the pause, the label click and the
// run-once start-up sequence. The Win32 window (launcher/win) only forwards
// its timer ticks and clicks here and carries out what IntroWindow asks.
// Positions and sizes are in twips, as designed; the window converts them
// with the screen's DPI. Window thread only; ticks and clicks may arrive
// nested inside Pause and inside the message boxes of the start-up steps.
#include <functional>
#include <string>

#include "platform/clock.h"
#include "platform/ui.h"

namespace launcher {

inline constexpr const char* kIntroTitle = "Orvane";
inline constexpr const char* kCountdown3 = "正在启动,请稍候(3)";
inline constexpr const char* kCountdown2 = "正在启动,请稍候(2)";
inline constexpr const char* kCountdown1 = "正在启动,请稍候(1)";
inline constexpr const char* kCountdown0 = "正在启动,请稍候(0)";
inline constexpr const char* kLabel2Caption = "Orvane";

inline constexpr double kTwipsPerInch = 1440.0;

struct TwipRect {
  double left = 0, top = 0, width = 0, height = 0;
  bool operator==(const TwipRect&) const = default;
};

// Design-time layout of the window and its controls.
inline constexpr TwipRect kIntroClient{0, 0, 7620, 2730};
inline constexpr TwipRect kPicture1{0, 0, 7530, 2640};
inline constexpr TwipRect kLabel2{120, 1920, 975, 255};
inline constexpr TwipRect kLabel1{5160, 2280, 2310, 255};
inline constexpr double kLabel1FontPoints = 8.25;

inline constexpr int kTimer1 = 1;  // the start tick
inline constexpr int kTimer2 = 2;  // the countdown tick
inline constexpr int kTimer1IntervalMs = 3000;
inline constexpr int kTimer2IntervalMs = 1000;

inline constexpr double kCollapseStep = 100;       // twips of height per step
inline constexpr double kStretchStep = 200;        // twips of width per step
inline constexpr double kStretchShift = 100;       // twips to the left per step
inline constexpr double kAnimationPause = 0.0001;  // seconds: one clock tick

// Twips at `dpi` dots per inch to whole pixels, rounded to the nearest.
int twipsToPixels(double twips, int dpi);
double pixelsToTwips(int pixels, int dpi);

// A clock that advances in whole ticks of `tickSeconds`, the pace of the
// system timer that the animation's shortest pause was made for: on a finer
// clock the animation would be over before it could be seen.
class TickClock : public plat::Clock {
 public:
  TickClock(plat::Clock& base, double tickSeconds) : base_(base), tick_(tickSeconds) {}
  double monotonicSeconds() override;
  plat::Date today() override { return base_.today(); }

 private:
  plat::Clock& base_;
  double tick_;
};
inline constexpr double kSystemTimerTick = 1.0 / 64;

// What the logic asks of the window.
class IntroWindow {
 public:
  virtual ~IntroWindow() = default;
  virtual void show() = 0;
  // Outer position and size of the window.
  virtual void place(const TwipRect& r) = 0;
  virtual void setCaption(const std::string& text) = 0;  // Label1
  // False when the platform could not start the timer.
  virtual bool startTimer(int id, int intervalMs) = 0;
  virtual void stopTimer(int id) = 0;
  virtual void hide() = 0;
  // Destroys the window; may be asked more than once.
  virtual void close() = 0;
  // The launcher is over: the program's message loop is to end.
  virtual void endLauncher() = 0;
};

// The steps of the start-up sequence. checkRuntime returns whether the start
// may go on (and has prepared the working files then); bootPro ends the run.
struct StartSteps {
  std::function<bool()> checkRuntime;
  std::function<void()> bootPro;
};

class IntroLogic {
 public:
  enum class State { kCounting, kAnimating, kChecking, kLaunching, kEnded };

  // `screen` is the screen's size in twips (left and top unused).
  IntroLogic(IntroWindow& window, plat::Ui& ui, plat::Clock& clock, TwipRect screen,
             StartSteps steps);

  void load();
  void countdownTick();  // Timer2
  void startTick();      // Timer1
  void labelClick();     // Label1
  // Waits `seconds` on the monotonic clock, pumping events; returns early
  // when a nested event ended the launcher.
  void Pause(double seconds);

  State state() const { return state_; }
  bool ended() const { return state_ == State::kEnded; }
  const std::string& caption() const { return caption_; }
  const TwipRect& geometry() const { return geom_; }
  bool timerEnabled(int id) const { return id == kTimer1 ? timer1On_ : timer2On_; }
  // For a caption put there by something other than the countdown.
  void setCaption(const std::string& text);

 private:
  bool pump();  // false once the launcher has ended
  void place();
  void stopTimer(int id);
  void end();
  bool collapse();
  bool stretch();

  IntroWindow& window_;
  plat::Ui& ui_;
  plat::Clock& clock_;
  TwipRect screen_;
  StartSteps steps_;
  State state_ = State::kCounting;
  bool started_ = false;  // the start-up sequence runs once per run
  bool timer1On_ = false;
  bool timer2On_ = false;
  std::string caption_ = kCountdown3;
  TwipRect geom_ = kIntroClient;
};

}  // namespace launcher
