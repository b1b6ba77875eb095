#include "dlcontrol/win/control_platform.h"

#include <vector>

#include "dlcontrol/win/win_text.h"
#include "platform/error.h"
#include "platform/win/unique_handle.h"
#include "platform/win/wide.h"

namespace lumvex {
namespace {

using plat::win::errorFromWin32;
using plat::win::UniqueFileHandle;

[[noreturn]] void throwLastError() {
  throw errorFromWin32(GetLastError());
}

// Opened, not recreated: the file keeps its identity and attributes; the
// writer cuts it to the new length at the end so it equals the download.
UniqueFileHandle openTarget(const std::wstring& target) {
  UniqueFileHandle out(CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                   OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!out) throwLastError();
  return out;
}

// A content file the service gives up takes the target's place when both
// lie on one volume: a large download is then not copied a second time. The
// target keeps its attributes. False (with the target open again) when the
// move cannot be made and the content is to be copied.
bool moveInto(UniqueFileHandle& out, const std::wstring& target, const std::string& contentFile) {
  BY_HANDLE_FILE_INFORMATION info = {};
  if (!GetFileInformationByHandle(out.get(), &info) || info.nNumberOfLinks != 1 ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
    return false;
  out.reset();
  std::wstring source = widen(contentFile);
  // The name is freed first: renamed over an existing file, the content
  // would be written out to the disk at once by file systems that guard
  // against a replacement that a crash could leave empty (ext4 does), a
  // wait as long as the download. The target's content goes either way.
  const bool moved = DeleteFileW(target.c_str())
                         ? MoveFileExW(source.c_str(), target.c_str(), 0) != 0
                         : ReplaceFileW(target.c_str(), source.c_str(), nullptr,
                                        REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0;
  if (moved) {
    SetFileAttributesW(target.c_str(), info.dwFileAttributes & ~FILE_ATTRIBUTE_TEMPORARY);
    return true;
  }
  out = openTarget(target);
  return false;
}

void writeAll(HANDLE out, const char* data, DWORD size) {
  DWORD done = 0;
  if (!WriteFile(out, data, size, &done, nullptr) || done != size) throwLastError();
}

void copyInto(HANDLE out, const std::string& contentFile) {
  UniqueFileHandle in(CreateFileW(widen(contentFile).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!in) throwLastError();
  std::vector<char> buffer(1 << 20);
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(in.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr))
      throwLastError();
    if (got == 0) return;
    writeAll(out, buffer.data(), got);
  }
}

}  // namespace

void WinPlatform::pumpMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      quitPending_ = true;
      quitCode_ = static_cast<int>(msg.wParam);
      return;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

void WinPlatform::waitForMessage() {
  MsgWaitForMultipleObjectsEx(0, nullptr, INFINITE, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

// Failures carry the numbers and texts of the kit's other file writes.
void WinPlatform::writeContent(const std::string& path, const dl::ReadContent& content) {
  const std::wstring target = widen(path);
  UniqueFileHandle out = openTarget(target);
  if (content.inFile() && content.Movable && moveInto(out, target, content.FilePath)) return;
  if (content.inFile())
    copyInto(out.get(), content.FilePath);
  else if (!content.Bytes.empty())
    writeAll(out.get(), content.Bytes.data(), static_cast<DWORD>(content.Bytes.size()));
  if (!SetEndOfFile(out.get())) throwLastError();
}

void WinPlatform::deleteFile(const std::string& path) {
  if (path.empty()) throw plat::errorOf(plat::kErrFileNotFound);
  if (!DeleteFileW(widen(path).c_str())) throwLastError();
}

void WinPlatform::criticalMessageBox(const std::string& prompt, const std::string& title) {
  HWND window = owner_.window();
  HWND owner = window ? GetAncestor(window, GA_ROOT) : nullptr;
  MessageBoxW(owner, widen(prompt).c_str(), widen(title).c_str(), MB_OK | MB_ICONERROR);
}

}  // namespace lumvex
