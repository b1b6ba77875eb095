// Novaro.exe: the updater the shop user starts from the program folder. It
// reads server.xml, waits for its button, downloads the update package with
// the download control, has the archive tool unpack it into the data folder
// and ends with the completion message. No arguments.
// <windows.h> must come first.
// clang-format off
#include <windows.h>
#include <ole2.h>
// clang-format on

#include "updater/update_run.h"
#include "updater/win/novaro_window.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  // The control needs a single-threaded apartment on the window's thread.
  if (FAILED(OleInitialize(nullptr))) return 1;
  int status = 0;
  {
    auto fs = plat::makeNativeFileSystem();
    auto processes = plat::makeNativeProcesses();
    auto ui = plat::makeNativeUi();
    auto clock = plat::makeNativeClock();
    upd::win::NovaroWindow window(instance);
    upd::Services services{*fs, *processes, *ui, *clock, [&window] { window.endProgram(); }};
    upd::UpdateRun run(services, window, window.control(), fs->programFolder());
    if (!window.create(run)) {
      status = 1;
    } else {
      window.attach(&run);
      if (run.Load(upd::win::localMoment(), upd::win::systemDateTime())) window.show();
      MSG msg;
      while (!window.ended() && GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
      }
    }
  }
  OleUninitialize();
  return status;
}
