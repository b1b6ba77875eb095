// The Windows file system through the W calls.
#include <windows.h>

#include <algorithm>

#include "platform/error.h"
#include "platform/filesystem.h"
#include "platform/text.h"
#include "platform/win/module_path.h"
#include "platform/win/unique_handle.h"
#include "platform/win/wide.h"

namespace plat {
namespace {

using win::errorFromWin32;
using win::widen;

bool endsWithSeparator(const std::string& p) {
  return !p.empty() && (p.back() == '\\' || p.back() == '/');
}

class WinListing : public DirListing {
 public:
  WinListing(win::UniqueFindHandle find, const WIN32_FIND_DATAW& first, uint32_t mask)
      : find_(std::move(find)), data_(first), mask_(mask), pending_(static_cast<bool>(find_)) {}

  std::string next() override {
    while (pending_) {
      const WIN32_FIND_DATAW current = data_;
      pending_ = ::FindNextFileW(find_.get(), &data_) != 0;
      if (!pending_) find_.reset();
      const uint32_t a = current.dwFileAttributes;
      if ((a & (attr::kHidden | attr::kSystem | attr::kDirectory) & ~mask_) != 0) continue;
      return win::narrow(current.cFileName);
    }
    return std::string();
  }

 private:
  win::UniqueFindHandle find_;
  WIN32_FIND_DATAW data_;
  uint32_t mask_;
  bool pending_;
};

class WinFileSystem : public FileSystem {
 public:
  bool fileExists(const std::string& path) override {
    if (path.empty()) return false;
    const DWORD a = ::GetFileAttributesW(widen(path).c_str());
    if (a == INVALID_FILE_ATTRIBUTES) return false;
    return (a & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY)) == 0;
  }

  void copyFile(const std::string& from, const std::string& to) override {
    const std::wstring target = widen(to);
    // Windows refuses a read-only or hidden destination; Wine run by root
    // overwrites it.
    // Refuse it here so that both behave as Windows does.
    const DWORD existing = ::GetFileAttributesW(target.c_str());
    if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
        (existing & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN)) != 0 &&
        ::GetFileAttributesW(widen(from).c_str()) != INVALID_FILE_ATTRIBUTES)
      throw errorOf(kErrPathFileAccess);
    if (!::CopyFileW(widen(from).c_str(), target.c_str(), FALSE))
      throw errorFromWin32(::GetLastError());
  }

  void deleteFile(const std::string& path) override {
    if (!::DeleteFileW(widen(path).c_str())) throw errorFromWin32(::GetLastError());
  }

  void makeFolder(const std::string& path) override {
    if (!::CreateDirectoryW(widen(path).c_str(), nullptr)) {
      const DWORD e = ::GetLastError();
      throw errorOf(e == ERROR_FILE_NOT_FOUND ? kErrPathNotFound : win::errorNumberOf(e));
    }
  }

  void removeFolder(const std::string& path) override {
    if (!::RemoveDirectoryW(widen(path).c_str())) {
      const DWORD e = ::GetLastError();
      throw errorOf(e == ERROR_FILE_NOT_FOUND ? kErrPathNotFound : win::errorNumberOf(e));
    }
  }

  std::unique_ptr<DirListing> list(const std::string& folder, uint32_t mask) override {
    std::wstring pattern = widen(folder);
    if (endsWithSeparator(folder)) pattern += L"*";
    WIN32_FIND_DATAW data{};
    win::UniqueFindHandle find(::FindFirstFileW(pattern.c_str(), &data));
    if (!find) {
      const DWORD e = ::GetLastError();
      if (e != ERROR_FILE_NOT_FOUND && e != ERROR_PATH_NOT_FOUND && e != ERROR_NO_MORE_FILES &&
          e != ERROR_DIRECTORY)
        throw errorFromWin32(e);
    }
    return std::make_unique<WinListing>(std::move(find), data, mask);
  }

  uint32_t getAttributes(const std::string& path) override {
    if (path.empty()) return attr::kInvalid;
    return ::GetFileAttributesW(widen(path).c_str());
  }

  void setAttributes(const std::string& path, uint32_t attributes) override {
    // Only the bits a caller may set; none at all means "normal".
    DWORD a =
        attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                      FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY |
                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED | FILE_ATTRIBUTE_OFFLINE);
    if (a == 0) a = FILE_ATTRIBUTE_NORMAL;
    if (!::SetFileAttributesW(widen(path).c_str(), a)) throw errorFromWin32(::GetLastError());
  }

  bool isLink(const std::string& path) override {
    const DWORD a = getAttributes(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  }

  void removeLink(const std::string& path) override {
    const DWORD a = getAttributes(path);
    if (a == INVALID_FILE_ATTRIBUTES) throw errorFromWin32(::GetLastError());
    if ((a & FILE_ATTRIBUTE_REPARSE_POINT) == 0) throw errorOf(kErrInvalidProcedureCall);
    const std::wstring w = widen(path);
    // A directory link goes with RemoveDirectory, which never touches the target.
    const BOOL ok = (a & FILE_ATTRIBUTE_DIRECTORY) != 0 ? ::RemoveDirectoryW(w.c_str())
                                                        : ::DeleteFileW(w.c_str());
    if (!ok) throw errorFromWin32(::GetLastError());
  }

  std::vector<std::string> readTextLines(const std::string& path) override {
    std::vector<std::string> lines = splitLinesCr(readFile(path));
    for (std::string& line : lines) line = ansiToUtf8(line);
    return lines;
  }

  void writeFile(const std::string& path, const std::string& bytes) override {
    const std::wstring target = widen(path);
    // Wine run by root writes into read-only files; Windows does not.
    const DWORD existing = ::GetFileAttributesW(target.c_str());
    if (existing != INVALID_FILE_ATTRIBUTES && (existing & FILE_ATTRIBUTE_READONLY) != 0)
      throw errorOf(kErrPathFileAccess);
    // OPEN_ALWAYS, not CREATE_ALWAYS: the latter refuses an existing hidden
    // file unless the caller repeats its attributes.
    win::UniqueFileHandle f(::CreateFileW(target.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                          FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) throw errorFromWin32(::GetLastError());
    size_t done = 0;
    while (done < bytes.size()) {
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
      DWORD written = 0;
      if (!::WriteFile(f.get(), bytes.data() + done, chunk, &written, nullptr))
        throw errorFromWin32(::GetLastError());
      done += written;
    }
    if (!::SetEndOfFile(f.get())) throw errorFromWin32(::GetLastError());
  }

  std::string readFile(const std::string& path) override {
    win::UniqueFileHandle f(::CreateFileW(widen(path).c_str(), GENERIC_READ,
                                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!f) throw errorFromWin32(::GetLastError());
    std::string bytes;
    char buf[65536];
    for (;;) {
      DWORD got = 0;
      if (!::ReadFile(f.get(), buf, sizeof buf, &got, nullptr))
        throw errorFromWin32(::GetLastError());
      if (got == 0) break;
      bytes.append(buf, got);
    }
    return bytes;
  }

  std::string systemDirectory() override {
    wchar_t buf[MAX_PATH + 1];
    const UINT n = ::GetSystemDirectoryW(buf, MAX_PATH + 1);
    if (n == 0 || n > MAX_PATH) return std::string();
    std::wstring dir(buf, n);
    if (dir.size() > 3 && (dir.back() == L'\\' || dir.back() == L'/')) dir.pop_back();
    return win::narrow(dir);
  }

  bool namesAreCaseSensitive() override { return false; }

  std::string programFolder() override {
    const std::wstring path = win::modulePath();
    const size_t sep = path.find_last_of(L"\\/");
    if (sep == std::wstring::npos) return std::string();
    // A drive root keeps its separator ("D:\"); any other folder drops it.
    std::wstring folder = path.substr(0, sep);
    if (folder.size() == 2 && folder[1] == L':') folder += L'\\';
    return win::narrow(folder);
  }
};

}  // namespace

std::unique_ptr<FileSystem> makeNativeFileSystem() {
  return std::make_unique<WinFileSystem>();
}

}  // namespace plat
