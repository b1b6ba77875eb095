// Runs the launcher's road (working files, then the launch) in its own
// program folder, with the runtime install folder given on the command line,
// as the launcher does once its runtime check has found it.
//   roaddrv.exe <AccessRoot>
// Exit status: 0 runtime started, 1 BootPro.err, 2 SavePath.err, 3 usage.
#include <windows.h>

#include <string>

#include "launcher/road.h"
#include "platform/clock.h"

namespace {

std::string toUtf8(const wchar_t* w) {
  const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
  std::string out(n > 0 ? n - 1 : 0, '\0');
  if (n > 1) WideCharToMultiByte(CP_UTF8, 0, w, -1, out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) return 3;
  auto fs = plat::makeNativeFileSystem();
  auto registry = plat::makeNativeRegistry();
  auto processes = plat::makeNativeProcesses();
  auto ui = plat::makeNativeUi();
  auto clock = plat::makeNativeClock();
  launcher::Launcher l(launcher::Services{*fs, *registry, *processes, *ui, *clock},
                       fs->programFolder());
  l.AccessRoot = toUtf8(argv[1]);
  launcher::PrepareWorkFiles(l);
  switch (launcher::BootPro(l)) {
    case launcher::BootOutcome::kStarted:
      return 0;
    case launcher::BootOutcome::kFailed:
      return 1;
    case launcher::BootOutcome::kSavePathFailed:
      return 2;
  }
  return 1;
}
