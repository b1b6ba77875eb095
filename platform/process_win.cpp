// Starting programs and the previous-instance test on Windows.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cwctype>

#include "platform/error.h"
#include "platform/process.h"
#include "platform/win/module_path.h"
#include "platform/win/shell_start.h"
#include "platform/win/unique_handle.h"
#include "platform/win/wide.h"

namespace plat {
namespace {

// ERROR_ELEVATION_REQUIRED, which the cross-compiler's headers lack.
constexpr DWORD kElevationRequired = 740;

int showCommand(WindowStyle style) {
  switch (style) {
    case WindowStyle::kHide:
      return SW_HIDE;
    case WindowStyle::kNormalFocus:
      return SW_SHOWNORMAL;
    case WindowStyle::kMinimizedFocus:
      return SW_SHOWMINIMIZED;
    case WindowStyle::kMaximizedFocus:
      return SW_SHOWMAXIMIZED;
    case WindowStyle::kNormalNoFocus:
      return SW_SHOWNOACTIVATE;
    case WindowStyle::kMinimizedNoFocus:
      return SW_SHOWMINNOACTIVE;
  }
  return SW_SHOWNORMAL;
}

// CreateProcessW with the kit's error numbers; the caller owns both handles.
PROCESS_INFORMATION create(const std::string& commandLine, WindowStyle style) {
  if (commandLine.find_first_not_of(" \t") == std::string::npos)
    throw errorOf(kErrInvalidProcedureCall);
  std::wstring cmd = win::widen(commandLine);  // CreateProcessW may write into it
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESHOWWINDOW;
  si.wShowWindow = static_cast<WORD>(showCommand(style));
  PROCESS_INFORMATION pi{};
  if (!::CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                        &pi)) {
    const DWORD e = ::GetLastError();
    switch (e) {
      case kElevationRequired:
        return win::startThroughShell(win::widen(commandLine), showCommand(style));
      case ERROR_FILE_NOT_FOUND:
      case ERROR_PATH_NOT_FOUND:
      case ERROR_INVALID_NAME:
      case ERROR_DIRECTORY:
      case ERROR_BAD_NETPATH:
        throw errorOf(kErrFileNotFound);
      case ERROR_BAD_EXE_FORMAT:
      case ERROR_EXE_MACHINE_TYPE_MISMATCH:
        throw errorOf(kErrInvalidProcedureCall);
      default:
        throw win::errorFromWin32(e);
    }
  }
  return pi;
}

}  // namespace

PROCESS_INFORMATION win::startThroughShell(const std::wstring& commandLine, int show) {
  const size_t first = commandLine.find_first_not_of(L" \t");
  if (first == std::wstring::npos) throw errorOf(kErrInvalidProcedureCall);
  std::wstring file;
  size_t end;
  if (commandLine[first] == L'"') {
    end = commandLine.find(L'"', first + 1);
    file = commandLine.substr(first + 1, end == std::wstring::npos ? end : end - first - 1);
    end = end == std::wstring::npos ? commandLine.size() : end + 1;
  } else {
    end = std::min(commandLine.find_first_of(L" \t", first), commandLine.size());
    file = commandLine.substr(first, end - first);
  }
  const size_t args = commandLine.find_first_not_of(L" \t", end);
  const std::wstring parameters = args == std::wstring::npos ? L"" : commandLine.substr(args);
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.lpVerb = L"open";
  info.lpFile = file.c_str();
  info.lpParameters = parameters.empty() ? nullptr : parameters.c_str();
  info.nShow = show;
  if (!::ShellExecuteExW(&info)) throw win::errorFromWin32(::GetLastError());
  // A program started is always handed over; without one there is nothing to follow.
  if (!info.hProcess) throw win::errorFromWin32(kElevationRequired);
  PROCESS_INFORMATION pi{};
  pi.hProcess = info.hProcess;
  pi.dwProcessId = ::GetProcessId(info.hProcess);
  return pi;
}

namespace {

class WinChild : public Child {
 public:
  explicit WinChild(win::UniqueKernelHandle process) : process_(std::move(process)) {}

  std::optional<uint32_t> exitStatus() override {
    if (::WaitForSingleObject(process_.get(), 0) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    ::GetExitCodeProcess(process_.get(), &code);
    return static_cast<uint32_t>(code);
  }

  bool waitAwhile(int timeoutMs) override {
    const HANDLE h = process_.get();
    const DWORD r = ::MsgWaitForMultipleObjectsEx(
        1, &h, static_cast<DWORD>(timeoutMs < 0 ? 0 : timeoutMs), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    return r == WAIT_OBJECT_0 || exitStatus().has_value();
  }

  void terminate() override {
    ::TerminateProcess(process_.get(), 1);
    ::WaitForSingleObject(process_.get(), 10000);
  }

  uint64_t bytesMoved() override {
    IO_COUNTERS io{};
    if (!::GetProcessIoCounters(process_.get(), &io)) return 0;
    return io.ReadTransferCount + io.WriteTransferCount;
  }

 private:
  win::UniqueKernelHandle process_;
};

class WinProcesses : public Processes {
 public:
  uint32_t start(const std::string& commandLine, WindowStyle style) override {
    PROCESS_INFORMATION pi = create(commandLine, style);
    win::UniqueKernelHandle process(pi.hProcess);
    win::UniqueKernelHandle thread(pi.hThread);
    return pi.dwProcessId;
  }

  std::unique_ptr<Child> startWatched(const std::string& commandLine, WindowStyle style) override {
    PROCESS_INFORMATION pi = create(commandLine, style);
    win::UniqueKernelHandle thread(pi.hThread);
    return std::make_unique<WinChild>(win::UniqueKernelHandle(pi.hProcess));
  }

  bool previousInstanceRunning() override {
    if (answer_ >= 0) return answer_ == 1;
    // A named mutex per program path: it lives exactly as long as a process
    // holds it, so a crashed instance never blocks the next start.
    std::wstring path = win::modulePath();
    for (wchar_t& c : path) c = static_cast<wchar_t>(std::towupper(c));
    uint64_t h = 1469598103934665603ull;
    for (const wchar_t c : path) {
      h ^= static_cast<uint16_t>(c);
      h *= 1099511628211ull;
    }
    wchar_t name[96];
    std::swprintf(name, 96, L"Local\\ShopKitInstance-%016llx", static_cast<unsigned long long>(h));
    mutex_.reset(::CreateMutexW(nullptr, FALSE, name));
    const DWORD e = ::GetLastError();
    if (!mutex_) {
      // Another instance made it with rights we lack: it runs. Anything else
      // tells nothing, and must not keep the program from starting.
      answer_ = e == ERROR_ACCESS_DENIED ? 1 : 0;
    } else {
      answer_ = e == ERROR_ALREADY_EXISTS ? 1 : 0;
    }
    return answer_ == 1;
  }

 private:
  win::UniqueKernelHandle mutex_;
  int answer_ = -1;  // the first call's finding: 0 alone, 1 another instance
};

}  // namespace

std::unique_ptr<Processes> makeNativeProcesses() {
  return std::make_unique<WinProcesses>();
}

}  // namespace plat
