#include "launcher/intro.h"

#include <gtest/gtest.h>

#include "launcher/start_fakes_test.h"

namespace launcher {
namespace {

using launcher::testing::ScriptedUi;
using launcher::testing::SteppingClock;

class RecordingWindow : public IntroWindow {
 public:
  void show() override {
    log.push_back("show");
    placesAtShow = places.size();
  }
  void place(const TwipRect& r) override {
    places.push_back(r);
    if (hidden) ++placesAfterHide;
  }
  void setCaption(const std::string& text) override { captions.push_back(text); }
  bool startTimer(int id, int ms) override {
    log.push_back("start" + std::to_string(id) + ":" + std::to_string(ms));
    return id != failingTimer;
  }
  void stopTimer(int id) override { log.push_back("stop" + std::to_string(id)); }
  void hide() override {
    hidden = true;
    log.push_back("hide");
  }
  void close() override { log.push_back("close"); }
  void endLauncher() override { log.push_back("end"); }

  std::vector<std::string> log;
  std::vector<TwipRect> places;
  std::vector<std::string> captions;
  bool hidden = false;
  int failingTimer = 0;  // the timer the platform refuses to start, if any
  int placesAfterHide = 0;
  size_t placesAtShow = 0;
};

// 1024 x 768 pixels at 96 DPI.
constexpr TwipRect kScreen{0, 0, 15360, 11520};

class IntroTest : public ::testing::Test {
 protected:
  IntroLogic make(TwipRect screen = kScreen) {
    return IntroLogic(window, ui, clock, screen,
                      {[this] {
                         log.push_back("check");
                         if (onCheck) onCheck();
                         return checkResult;
                       },
                       [this] { log.push_back("boot"); }});
  }

  RecordingWindow window;
  ScriptedUi ui;
  SteppingClock clock;
  std::vector<std::string> log;
  bool checkResult = true;
  std::function<void()> onCheck;
};

TEST_F(IntroTest, LoadShowsCentresAndStartsBothTimers) {
  IntroLogic intro = make();
  intro.load();
  ASSERT_EQ(window.places.size(), 1u);
  EXPECT_EQ(window.places[0], (TwipRect{3915, 4440, 7530, 2640}));
  EXPECT_EQ(window.placesAtShow, 1u);
  EXPECT_EQ(window.log, (std::vector<std::string>{"show", "start2:1000", "start1:3000"}));
  EXPECT_EQ(window.captions, std::vector<std::string>{"正在启动,请稍候(3)"});
}

TEST_F(IntroTest, CountdownRunsToZeroAndTheFourthTickStopsIt) {
  IntroLogic intro = make();
  intro.load();
  for (int i = 0; i < 5; ++i) intro.countdownTick();
  EXPECT_EQ(window.captions,
            (std::vector<std::string>{"正在启动,请稍候(3)", "正在启动,请稍候(2)",
                                      "正在启动,请稍候(1)", "正在启动,请稍候(0)"}));
  EXPECT_FALSE(intro.timerEnabled(kTimer2));
  EXPECT_TRUE(intro.timerEnabled(kTimer1));
  EXPECT_EQ(window.log.back(), "stop2");
}

TEST_F(IntroTest, ForeignCaptionLeavesTheCountdownRunning) {
  IntroLogic intro = make();
  intro.load();
  // Full-width parentheses are not the countdown's text.
  intro.setCaption("正在启动,请稍候（3）");
  for (int i = 0; i < 6; ++i) intro.countdownTick();
  EXPECT_EQ(intro.caption(), "正在启动,请稍候（3）");
  EXPECT_TRUE(intro.timerEnabled(kTimer2));
}

TEST_F(IntroTest, AnimationStepsForTheDesignSizes) {
  IntroLogic intro = make();
  intro.load();
  intro.startTick();
  // 26 collapse steps (2640 down to 40), then 40 stretch steps of two moves
  // each (7530 up to 15530, the first width beyond 15360).
  ASSERT_EQ(window.places.size(), 1u + 26 + 80);
  const TwipRect lastCollapse = window.places[26];
  EXPECT_EQ(lastCollapse, (TwipRect{3915, 5740, 7530, 40}));
  EXPECT_EQ(window.places.back(), (TwipRect{3915 - 4000, 5740, 15530, 40}));
  EXPECT_EQ(window.placesAfterHide, 0);
  EXPECT_EQ(log, (std::vector<std::string>{"check", "boot"}));
  EXPECT_TRUE(intro.ended());
  EXPECT_EQ(window.log.back(), "end");
}

TEST_F(IntroTest, NarrowScreenHidesRightAfterTheCollapse) {
  IntroLogic intro = make({0, 0, 6000, 4500});  // 400 x 300 pixels
  intro.load();
  intro.startTick();
  EXPECT_EQ(window.places.size(), 1u + 26);
  EXPECT_EQ(window.places.back().width, 7530);
  EXPECT_EQ(log, (std::vector<std::string>{"check", "boot"}));
}

TEST_F(IntroTest, FailedCheckEndsWithoutLaunch) {
  checkResult = false;
  IntroLogic intro = make();
  intro.load();
  intro.startTick();
  EXPECT_EQ(log, std::vector<std::string>{"check"});
  EXPECT_TRUE(intro.ended());
}

TEST_F(IntroTest, EachAnimationStepWaitsForTheClockToAdvance) {
  clock.step = 0.00004;  // a clock finer than the pause
  IntroLogic intro = make({0, 0, 6000, 4500});
  intro.load();
  const double before = clock.now;
  intro.startTick();
  // 26 pauses of at least 0.0001 s each.
  EXPECT_GE(clock.now - before, 26 * 0.0001);
}

TEST_F(IntroTest, PauseAcrossMidnightEndsAfterTheRequestedTime) {
  IntroLogic intro = make();
  intro.load();
  // The clock reads a quarter second before a whole day: a pause measured on
  // the time of day, which starts again from 0 at midnight, would find a
  // negative elapsed time after it and never end. A click after a hundred
  // pumps ends such a pause so that the fault fails here instead of hanging.
  clock.now = 86399.75;
  clock.step = 0.125;
  ui.onPump = [&] {
    if (clock.now > 86400) clock.date = {2011, 1, 31};
    if (ui.pumps == 100) intro.labelClick();
  };
  intro.Pause(1.0);
  // Looks at .125 to .875 pump; the look at 1.0 ends the pause.
  EXPECT_EQ(ui.pumps, 7);
  EXPECT_EQ(clock.date, (plat::Date{2011, 1, 31}));
  EXPECT_FALSE(intro.ended());
}

TEST_F(IntroTest, TimerThatCannotStart) {
  struct Case {
    int failing;
    std::vector<std::string> log;
  } cases[] = {
      // Without the start tick's timer the start-up runs at once.
      {kTimer1, {"check", "boot"}},
      // Without the countdown's timer the start still comes on its tick.
      {kTimer2, {}},
  };
  for (const Case& c : cases) {
    log.clear();
    window = RecordingWindow{};
    window.failingTimer = c.failing;
    IntroLogic intro = make();
    intro.load();
    EXPECT_EQ(log, c.log) << c.failing;
    EXPECT_EQ(intro.ended(), c.failing == kTimer1) << c.failing;
    intro.startTick();
    EXPECT_EQ(log, (std::vector<std::string>{"check", "boot"})) << c.failing;
  }
}

TEST_F(IntroTest, ClickDuringTheCountdownEndsAtOnce) {
  IntroLogic intro = make();
  intro.load();
  intro.countdownTick();
  intro.labelClick();
  EXPECT_TRUE(intro.ended());
  EXPECT_FALSE(intro.timerEnabled(kTimer1));
  EXPECT_FALSE(intro.timerEnabled(kTimer2));
  EXPECT_EQ(window.log, (std::vector<std::string>{"show", "start2:1000", "start1:3000", "stop1",
                                                  "stop2", "close", "end"}));
  intro.startTick();
  intro.countdownTick();
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(window.places.size(), 1u);
}

TEST_F(IntroTest, ClickInsideTheAnimationStopsItThere) {
  IntroLogic intro = make();
  intro.load();
  ui.onPump = [&] {
    if (ui.pumps == 40) intro.labelClick();
  };
  intro.startTick();
  EXPECT_TRUE(intro.ended());
  EXPECT_TRUE(log.empty());
  EXPECT_FALSE(window.hidden);
  const size_t placesAtEnd = window.places.size();
  EXPECT_LT(placesAtEnd, 1u + 26 + 80);
  ui.onPump = nullptr;
  intro.Pause(0.01);  // nothing pumps once ended
  EXPECT_EQ(ui.pumps, 40);
}

TEST_F(IntroTest, NestedTicksDuringTheStartRunNothingTwice) {
  IntroLogic intro = make();
  intro.load();
  // Timer ticks that arrive while the animation pumps events and while the
  // check shows a message box.
  ui.onPump = [&] {
    intro.countdownTick();
    intro.startTick();
  };
  onCheck = [&] {
    intro.startTick();
    intro.labelClick();  // the window is hidden by now: not clickable
  };
  intro.startTick();
  EXPECT_EQ(log, (std::vector<std::string>{"check", "boot"}));
  EXPECT_EQ(window.places.size(), 1u + 26 + 80);
  // The countdown went on to (0) and stopped itself meanwhile.
  EXPECT_EQ(intro.caption(), kCountdown0);
  EXPECT_FALSE(intro.timerEnabled(kTimer2));
  intro.startTick();
  EXPECT_EQ(log.size(), 2u);
}

TEST_F(IntroTest, TickClockMakesEachAnimationStepOneTick) {
  clock.step = 0.001;
  TickClock ticks(clock, 1.0 / 64);
  IntroLogic intro(window, ui, ticks, {0, 0, 6000, 4500}, {[] { return false; }, [] {}});
  intro.load();
  const double before = clock.now;
  intro.startTick();
  // 26 collapse steps: each waits for the next 1/64 s boundary.
  EXPECT_NEAR(clock.now - before, 26.0 / 64, 2.0 / 64);
}

TEST(TwipsTest, ConvertWithTheScreenDensity) {
  EXPECT_EQ(twipsToPixels(7530, 96), 502);
  EXPECT_EQ(twipsToPixels(2640, 96), 176);
  EXPECT_EQ(twipsToPixels(7530, 120), 628);
  EXPECT_EQ(twipsToPixels(-85, 96), -6);
  EXPECT_DOUBLE_EQ(pixelsToTwips(1024, 96), 15360);
}

}  // namespace
}  // namespace launcher
