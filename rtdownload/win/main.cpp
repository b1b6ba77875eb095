// Rundrel.exe: the runtime downloader the launcher starts when the database
// runtime is missing. It downloads the runtime's installer into its own
// folder with the download control, starts it and ends; on a failure it
// points the user to the manual download page. No arguments.
#include <windows.h>
#include <ole2.h>

#include <optional>
#include <string>

#include "dl_window.h"
#include "platform/filesystem.h"
#include "platform/process.h"
#include "platform/ui.h"
#include "platform/win/wide.h"
#include "rtdownload/rundrel.h"

namespace {

std::optional<std::string> environmentVariable(const std::string& name) {
  const std::wstring wide = plat::win::widen(name);
  const DWORD n = GetEnvironmentVariableW(wide.c_str(), nullptr, 0);
  if (n == 0) return std::nullopt;
  std::wstring value(n, L'\0');
  const DWORD got = GetEnvironmentVariableW(wide.c_str(), value.data(), n);
  value.resize(got < n ? got : 0);
  return plat::win::narrow(value);
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  if (FAILED(OleInitialize(nullptr))) return 1;
  auto fs = plat::makeNativeFileSystem();
  auto processes = plat::makeNativeProcesses();
  auto ui = plat::makeNativeUi();
  {
    rtd::win::DLTestWindow window(instance);
    std::wstring error;
    if (!window.create(error)) {
      // Without the control the window cannot be loaded: say why and end.
      window.destroy();
      ui->messageBox(plat::win::narrow(error), plat::mb::kCritical, "Rundrel");
      OleUninitialize();
      return 1;
    }
    rtd::win::LumvexControl control(window.control());
    rtd::Rundrel logic(window, control, *processes, *ui, rtd::ChooseAddresses(environmentVariable),
                       fs->programFolder());
    window.attach(&logic);
    lumvex::EventConnection events;
    events.connect(window.control(), logic);

    logic.load();
    if (!logic.ended()) window.show();
    MSG msg;
    while (!window.ended() && GetMessageW(&msg, nullptr, 0, 0) > 0) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    events.disconnect();
    window.attach(nullptr);
    window.destroy();
  }
  OleUninitialize();
  return 0;
}
