// Orvane.exe: the launcher the shop user starts. It shows the splash window,
// counts down, animates, then checks the database runtime, prepares the
// day's working files and starts the runtime on them. No arguments.
#include <windows.h>

#include "launcher/intro.h"
#include "launcher/launcher.h"
#include "launcher/road.h"
#include "launcher/runtime_check.h"
#include "launcher/win/intro_window.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  auto fs = plat::makeNativeFileSystem();
  auto registry = plat::makeNativeRegistry();
  auto processes = plat::makeNativeProcesses();
  auto ui = plat::makeNativeUi();
  auto clock = plat::makeNativeClock();
  // The instance token is claimed at start, so a launcher started while
  // this one counts down finds it taken.
  processes->previousInstanceRunning();
  launcher::TickClock animationClock(*clock, launcher::kSystemTimerTick);

  launcher::win::IntroWin32 window(instance);
  launcher::Services services{*fs, *registry, *processes, *ui, *clock};
  services.closeWindow = [&window] { window.close(); };
  launcher::Launcher state(std::move(services), fs->programFolder());

  if (!window.create()) return 1;
  launcher::IntroLogic intro(
      window, *ui, animationClock, window.screenTwips(),
      {[&state] { return launcher::CheckRuntime(state); }, [&state] { launcher::BootPro(state); }});
  window.attach(&intro);
  intro.load();

  MSG msg;
  while (!window.ended() && GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return 0;
}
