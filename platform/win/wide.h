#pragma once
// UTF-8 <-> UTF-16 at the Win32 boundary (the kit's only conversion), and
// Win32 error codes in the numbering the hosts know. Windows-only; any thread.
#include <windows.h>

#include <cwchar>
#include <string>

#include "platform/error.h"

namespace plat::win {

inline std::wstring widen(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int n =
      ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

inline std::string narrow(const wchar_t* utf16, size_t length) {
  if (!utf16 || length == 0) return std::string();
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, utf16, static_cast<int>(length), nullptr, 0,
                                      nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, utf16, static_cast<int>(length), out.data(), n, nullptr,
                        nullptr);
  return out;
}

inline std::string narrow(const std::wstring& utf16) {
  return narrow(utf16.data(), utf16.size());
}

// A zero-terminated string; null gives the empty string.
inline std::string narrowZ(const wchar_t* utf16) {
  return utf16 ? narrow(utf16, ::wcslen(utf16)) : std::string();
}

inline int errorNumberOf(DWORD win32) {
  switch (win32) {
    case ERROR_FILE_NOT_FOUND:
      return kErrFileNotFound;
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_DIRECTORY:
    case ERROR_NOT_READY:
      return kErrPathNotFound;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return kErrPermissionDenied;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return kErrDiskFull;
    case ERROR_TOO_MANY_OPEN_FILES:
      return kErrTooManyFiles;
    case ERROR_INVALID_NAME:
    case ERROR_FILENAME_EXCED_RANGE:
      return kErrBadFileName;
    default:
      return kErrPathFileAccess;
  }
}

// The PlatformError for a failed call; pass the code the call reported.
inline PlatformError errorFromWin32(DWORD win32) {
  return errorOf(errorNumberOf(win32));
}

}  // namespace plat::win
