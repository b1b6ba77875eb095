#pragma once
// WinINet handles (sessions, connections, requests) owned by UniqueHandle.
// Include only from WinINet users: <wininet.h> and <winhttp.h> cannot meet in
// one file. Windows-only; link wininet.
#include <windows.h>
#include <wininet.h>

#include "platform/win/unique_handle.h"

namespace plat::win {

// InternetCloseHandle may be called from any thread; closing a request still
// running makes its status callback see INTERNET_STATUS_HANDLE_CLOSING.
struct InternetHandleTraits {
  using Type = HINTERNET;
  static Type invalid() noexcept { return nullptr; }
  static void close(Type h) noexcept { ::InternetCloseHandle(h); }
};
using UniqueInternetHandle = UniqueHandle<InternetHandleTraits>;

}  // namespace plat::win
