// WinINet reads: one worker thread per read does the blocking calls and
// writes the temporary file; reports travel to the service's window as
// posted messages, each owning a heap-allocated Message.
#include "dlcontrol/win/wininet_transfer.h"

#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <new>
#include <thread>
#include <utility>

#include "dlcontrol/win/block_writer.h"
#include "dlcontrol/win/com_ptr.h"
#include "dlcontrol/win/module.h"
#include "dlcontrol/win/win_error.h"
#include "dlcontrol/win/win_text.h"
#include "platform/error.h"
#include "platform/win/inet_handle.h"
#include "platform/win/unique_handle.h"

namespace lumvex {
namespace {

constexpr UINT kReportMessage = WM_APP + 2;
constexpr UINT_PTR kWatchTimer = 1;
constexpr UINT kWatchMs = 250;
constexpr wchar_t kWindowClass[] = L"LumvexInetTransferWindow";
// The largest read. A read blocks until it is full, so this bounds how long
// a stream that slows down all at once can go unseen by the stall watch
// (1 MiB at 17 KB/s takes the whole minute); smaller reads cost half the
// throughput under Wine.
constexpr DWORD kBlock = 1024 * 1024;
constexpr DWORD kSmallestRead = 64 * 1024;
// WinINet says at most this much is waiting even when there is more.
constexpr DWORD kSmallestPiece = 8 * 1024;
constexpr ULONGLONG kSlowReadMs = 100;
constexpr int64_t kWarmUp = 1024 * 1024;
constexpr int64_t kReportEvery = 2 * 1024 * 1024;
constexpr int kMaxRedirects = 20;
constexpr DWORD kSocketTimedOut = 10060;

namespace status = dl::status;

ULONGLONG now() {
  return GetTickCount64();
}

struct Message {
  enum Kind { kProgress, kData, kFailed, kComplete } kind;
  uint64_t id;
  int status = 0;
  std::string text;
  int64_t bytes = 0;
  int32_t total = 0;
  std::wstring file;  // kComplete: the content, owned by the message until delivered

  ~Message() {
    if (!file.empty()) DeleteFileW(file.c_str());
  }
};

std::string inetErrorText(DWORD code) {
  std::string text = systemMessage(code, GetModuleHandleW(L"wininet.dll"));
  if (text.empty()) {
    switch (code) {
      case ERROR_INTERNET_TIMEOUT:
        text = "The connection timed out";
        break;
      case ERROR_INTERNET_NAME_NOT_RESOLVED:
        text = "The server name could not be resolved";
        break;
      case ERROR_INTERNET_CANNOT_CONNECT:
        text = "Cannot connect to the server";
        break;
      case ERROR_INTERNET_CONNECTION_ABORTED:
        text = "The connection was aborted";
        break;
      case ERROR_INTERNET_CONNECTION_RESET:
        text = "The connection was reset";
        break;
      case ERROR_HTTP_INVALID_SERVER_RESPONSE:
        text = "The server gave an invalid answer";
        break;
      case ERROR_INTERNET_INVALID_URL:
        text = "The address is not valid";
        break;
      case ERROR_INTERNET_UNRECOGNIZED_SCHEME:
        text = "The protocol of the address is not supported";
        break;
      case ERROR_INTERNET_INVALID_CA:
      case ERROR_INTERNET_SEC_CERT_CN_INVALID:
      case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
      case ERROR_INTERNET_SEC_INVALID_CERT:
        text = "The server's certificate is not valid";
        break;
      default:
        text = "Transfer error";
        break;
    }
  }
  char number[32];
  std::snprintf(number, sizeof number, " (error %lu)", static_cast<unsigned long>(code));
  return text + number;
}

// A status text from WinINet: the same statuses come as UTF-16 or as ANSI
// depending on the system's version; the texts in question are addresses.
std::string statusText(const void* info, DWORD length) {
  if (!info || length == 0) return {};
  const char* bytes = static_cast<const char*>(info);
  if (length >= 2 && bytes[0] != 0 && bytes[1] == 0) {
    const wchar_t* w = static_cast<const wchar_t*>(info);
    return narrow(w, wcsnlen(w, length / sizeof(wchar_t)));
  }
  return std::string(bytes, strnlen(bytes, length));
}

// The job a request's callbacks reach outlives its handles.
using InetHandle = plat::win::UniqueInternetHandle;
// A request and the connection it was made on (closed after it).
struct Request {
  InetHandle connection;
  InetHandle request;
};
using plat::win::UniqueFileHandle;

}  // namespace

// Shared by a read's window-thread record and its worker. The fields above
// `lock` are fixed before the worker starts.
struct WininetTransfer::Job {
  uint64_t id = 0;
  std::wstring url;
  std::wstring tempPath;
  unsigned stallMilliseconds = 60000;

  // The hand-over: a worker posts only while the read is still wanted, so
  // nothing reaches a window that is gone or a read that was cancelled.
  std::mutex lock;
  HWND window = nullptr;  // null once the read is no longer wanted

  std::atomic<bool> stop{false};
  std::atomic<int64_t> bytes{0};
  std::atomic<ULONGLONG> lastActivity{0};
  std::atomic<bool> dataPosted{false};  // a data report is on its way
  // A read that may block until its whole size has arrived is running: the
  // bytes it receives meanwhile are not seen here, so the socket's receive
  // timeout watches for silence instead of the window's timer.
  std::atomic<bool> blocking{false};

  void touch() { lastActivity.store(now()); }

  bool post(Message* m) {
    std::unique_ptr<Message> owned(m);
    std::lock_guard<std::mutex> guard(lock);
    if (!window || !PostMessageW(window, kReportMessage, 0, reinterpret_cast<LPARAM>(m)))
      return false;
    (void)owned.release();
    return true;
  }

  bool progress(int status, std::string text, int64_t count = 0, int32_t total = 0) {
    return post(new Message{Message::kProgress, id, status, std::move(text), count, total, {}});
  }

  // Ends the read with an error report; false, for the worker to return.
  bool fail(std::string text) {
    post(new Message{Message::kFailed, id, 0, std::move(text), 0, 0, {}});
    return false;
  }

  // Reports a redirect and waits until the window thread has delivered it:
  // the next hop is requested only when the read is still wanted then.
  bool redirect(std::string location) {
    {
      std::lock_guard<std::mutex> guard(lock);
      awaitingRedirect = true;
    }
    if (!progress(status::kRedirecting, std::move(location))) return false;
    std::unique_lock<std::mutex> guard(lock);
    resumed.wait(guard, [this] { return !awaitingRedirect || !window; });
    return window != nullptr;
  }

  void resume() {
    std::lock_guard<std::mutex> guard(lock);
    awaitingRedirect = false;
    resumed.notify_all();
  }

  void release() {
    std::lock_guard<std::mutex> guard(lock);
    window = nullptr;
    stop.store(true);
    resumed.notify_all();
  }

 private:
  std::condition_variable resumed;
  bool awaitingRedirect = false;
};

namespace {

using Job = WininetTransfer::Job;

// Every status counts as activity for the stall watch. Within one blocking
// read WinINet reports each piece received (INTERNET_STATUS_RESPONSE_RECEIVED),
// so a slow stream keeps the watch fed while a large read fills.
void CALLBACK statusCallback(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info,
                             DWORD length) {
  auto* job = reinterpret_cast<Job*>(context);
  if (!job) return;
  job->touch();
  if (status == INTERNET_STATUS_CONNECTING_TO_SERVER)
    job->progress(status::kConnecting, statusText(info, length));
  else if (status == INTERNET_STATUS_SENDING_REQUEST)
    job->progress(status::kSendingRequest, {});
}

std::wstring queryText(HINTERNET request, DWORD info) {
  DWORD size = 0;
  HttpQueryInfoW(request, info, nullptr, &size, nullptr);
  if (size == 0) return {};
  std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
  if (!HttpQueryInfoW(request, info, text.data(), &size, nullptr)) return {};
  text.resize(size / sizeof(wchar_t));
  return text;
}

std::string hostOf(const std::wstring& url) {
  URL_COMPONENTSW parts = {};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = 1;
  if (!InternetCrackUrlW(url.c_str(), 0, 0, &parts) || !parts.lpszHostName) return {};
  return narrow(std::wstring(parts.lpszHostName, parts.dwHostNameLength));
}

std::string stallText(unsigned milliseconds) {
  char text[128];
  std::snprintf(text, sizeof text,
                "No data received from the server for %g seconds; the transfer was stopped",
                milliseconds / 1000.0);
  return text;
}

std::string tooLarge(const std::wstring& url) {
  return "The file at " + narrow(url) + " is larger than 2 GiB";
}

// Ends the read with the error of the last WinINet call, unless the read is
// no longer wanted (a cancel makes the blocking calls fail too).
bool failWithLastError(Job& job) {
  DWORD error = GetLastError();
  if (job.stop.load()) return false;
  // A receive that waited the whole limit: WinINet's code, or (under Wine)
  // the socket's WSAETIMEDOUT.
  const bool stalled = error == ERROR_INTERNET_TIMEOUT || error == kSocketTimedOut;
  return job.fail(stalled ? stallText(job.stallMilliseconds) : inetErrorText(error));
}

InetHandle openSession(Job& job) {
  InetHandle session(InternetOpenW(L"Lumvex", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!session) return session;
  InternetSetStatusCallbackW(session.get(), statusCallback);
  // Each receive waits at most the stall limit for its first byte: this
  // ends a silent server within a blocking read (see Job::blocking).
  DWORD timeout = job.stallMilliseconds;
  InternetSetOptionW(session.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);
  InternetSetOptionW(session.get(), INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, &timeout, sizeof timeout);
  return session;
}

// The absolute location a redirect answer points to; empty for any other answer.
std::wstring redirectTarget(HINTERNET request, const std::wstring& url) {
  DWORD code = 0;
  DWORD size = sizeof code;
  if (!HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &size,
                      nullptr))
    return {};
  if (code != 301 && code != 302 && code != 303 && code != 307 && code != 308) return {};
  std::wstring location = queryText(request, HTTP_QUERY_LOCATION);
  if (location.empty()) return {};
  wchar_t combined[INTERNET_MAX_URL_LENGTH + 1];
  DWORD length = INTERNET_MAX_URL_LENGTH;
  if (!InternetCombineUrlW(url.c_str(), location.c_str(), combined, &length, ICU_NO_ENCODE))
    return location;
  return std::wstring(combined, length);
}

// One GET of `url` on a connection of its own. The receive limit is set
// before the request is sent: WinINet gives it to the connection's socket
// then, and so each receive of a blocking read waits at most that long.
bool sendRequest(Job& job, HINTERNET session, const std::wstring& url, Request& out) {
  URL_COMPONENTSW parts = {};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = 1;
  if (!InternetCrackUrlW(url.c_str(), 0, 0, &parts) || !parts.lpszHostName)
    return failWithLastError(job);
  const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
  std::wstring object =
      parts.lpszUrlPath ? std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength) : L"";
  if (parts.lpszExtraInfo) object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (object.empty()) object = L"/";
  // Always a fresh copy from the server, and none kept in the cache.
  DWORD flags = INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI |
                INTERNET_FLAG_PRAGMA_NOCACHE | INTERNET_FLAG_NO_AUTO_REDIRECT;
  if (parts.nScheme == INTERNET_SCHEME_HTTPS) flags |= INTERNET_FLAG_SECURE;
  const auto context = reinterpret_cast<DWORD_PTR>(&job);
  out.request.reset();
  out.connection.reset(InternetConnectW(session, host.c_str(), parts.nPort, nullptr, nullptr,
                                        INTERNET_SERVICE_HTTP, 0, context));
  if (!out.connection) return failWithLastError(job);
  out.request.reset(HttpOpenRequestW(out.connection.get(), L"GET", object.c_str(), nullptr, nullptr,
                                     nullptr, flags, context));
  if (!out.request) return failWithLastError(job);
  DWORD timeout = job.stallMilliseconds;
  InternetSetOptionW(out.request.get(), INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);
  if (!HttpSendRequestW(out.request.get(), nullptr, 0, nullptr, 0)) return failWithLastError(job);
  job.touch();
  return true;
}

// Requests the address, taking redirects one hop at a time: each new
// location is reported and requested only once the control has seen it and
// not cancelled (it cancels at once when redirects are not allowed).
bool openRequest(Job& job, HINTERNET session, Request& request, std::wstring& url) {
  for (int hop = 0;; ++hop) {
    if (!sendRequest(job, session, url, request)) return false;
    std::wstring location = redirectTarget(request.request.get(), url);
    if (location.empty()) return true;
    if (hop >= kMaxRedirects) return job.fail("Too many redirects from " + narrow(job.url));
    if (!job.redirect(narrow(location))) return false;
    url = std::move(location);
  }
}

// Reports the content type and the announced size; -1 when none was given.
bool announce(Job& job, HINTERNET request, const std::wstring& url, int64_t& length) {
  DWORD code = 0;
  DWORD size = sizeof code;
  if (HttpQueryInfoW(request, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &size,
                     nullptr) &&
      code >= 400) {
    char text[96];
    std::snprintf(text, sizeof text, "The server answered with HTTP status %lu",
                  static_cast<unsigned long>(code));
    return job.fail(text);
  }
  std::wstring type = queryText(request, HTTP_QUERY_CONTENT_TYPE);
  type = type.substr(0, type.find(L';'));
  while (!type.empty() && type.back() == L' ') type.pop_back();
  if (!type.empty()) job.progress(status::kMimeTypeAvailable, narrow(type));
  length = -1;
  std::wstring lengthText = queryText(request, HTTP_QUERY_CONTENT_LENGTH);
  if (!lengthText.empty()) length = _wcstoi64(lengthText.c_str(), nullptr, 10);
  // Counts are 32-bit: a larger file could not be reported truthfully.
  if (length > INT32_MAX) return job.fail(tooLarge(url));
  const int32_t total = length > 0 ? static_cast<int32_t>(length) : 0;
  return job.progress(status::kBeginDownloadData, narrow(job.url), 0, total);
}

// Chooses the size of each blocking read. A blocking read returns only once
// its whole size has arrived, and WinINet tells at most kSmallestPiece of
// what is waiting. So a read asks for exactly what is said to be there (it
// never waits and leaves nothing uncounted) until the stream has run fast
// for kWarmUp bytes; then reads grow while they come back at once, and fall
// back to exact ones when one had to wait.
class ReadSizer {
 public:
  DWORD next(DWORD available) {
    exact_ = available < kSmallestPiece || fastRun_ < kWarmUp;
    started_ = now();
    return exact_ ? std::min(available, kBlock) : readSize_;
  }
  bool mayBlock() const { return !exact_; }
  void done(DWORD got) {
    if (now() - started_ > kSlowReadMs) {
      fastRun_ = 0;
      readSize_ = kSmallestRead;
    } else {
      fastRun_ += got;
      if (!exact_) readSize_ = std::min<DWORD>(readSize_ * 2, kBlock);
    }
  }

 private:
  DWORD readSize_ = kSmallestRead;
  int64_t fastRun_ = 0;
  bool exact_ = true;
  ULONGLONG started_ = 0;
};

// Streams the body into the temporary file. The worker sends a data report
// every kReportEvery bytes of a fast stream; the window's timer reports
// whatever else has arrived (see reportArrivals).
bool streamBody(Job& job, HINTERNET request, const std::wstring& url, HANDLE file, int64_t& count) {
  BlockWriter writer(file, kBlock);
  if (!writer.start()) return job.fail(describeError(E_OUTOFMEMORY));
  auto writeFailed = [&] {
    return job.fail("Cannot write the temporary file: " +
                    describeError(HRESULT_FROM_WIN32(writer.error())));
  };
  ReadSizer sizer;
  count = 0;
  int64_t reported = 0;
  for (;;) {
    if (job.stop.load()) return false;
    DWORD available = 0;
    if (!InternetQueryDataAvailable(request, &available, 0, 0)) return failWithLastError(job);
    if (available == 0) break;
    DWORD got = 0;
    const DWORD ask = sizer.next(available);
    job.blocking.store(sizer.mayBlock());
    const BOOL read = InternetReadFile(request, writer.next(), ask, &got);
    if (read && got) job.touch();  // before the window's watch looks again
    job.blocking.store(false);
    if (!read) return failWithLastError(job);
    if (got == 0) break;
    sizer.done(got);
    if (count + got > INT32_MAX) return job.fail(tooLarge(url));
    if (!writer.submit(got)) return writeFailed();
    count += got;
    job.bytes.store(count);
    if (count - reported >= kReportEvery) {
      reported = count;
      if (!job.dataPosted.exchange(true) &&
          !job.post(new Message{Message::kData, job.id, 0, {}, 0, 0, {}}))
        return false;
    }
  }
  return writer.finish() ? true : writeFailed();
}

// The end of the data: a connection that closed early would otherwise pass
// for the whole file. Once posted, the completion message owns the file.
bool finishRead(Job& job, int64_t count, int64_t length) {
  if (length >= 0 && count < length) {
    char text[128];
    std::snprintf(text, sizeof text, "The connection closed after %lld of %lld bytes",
                  static_cast<long long>(count), static_cast<long long>(length));
    return job.fail(text);
  }
  const int32_t total = length > 0 ? static_cast<int32_t>(length) : 0;
  if (!job.progress(status::kEndDownloadData, {}, count, total)) return false;
  return job.post(new Message{Message::kComplete, job.id, 0, {}, count, total, job.tempPath});
}

// The worker's whole read. Returns when the read ended, failed or is no
// longer wanted; true when a completion report took the temporary file over.
bool runJob(Job& job) {
  job.progress(status::kFindingResource, hostOf(job.url));
  InetHandle session = openSession(job);
  if (!session) return job.fail(inetErrorText(GetLastError()));
  Request request;
  std::wstring url = job.url;
  int64_t length = -1;
  if (!openRequest(job, session.get(), request, url) ||
      !announce(job, request.request.get(), url, length))
    return false;
  int64_t count = 0;
  {
    // The file made empty by GetTempFileName is opened as it is, not
    // recreated: a file cut to nothing and then written is written out to
    // the disk when it is closed by file systems that guard against an
    // overwrite that a crash could leave empty (ext4 does), a wait as long
    // as the download.
    UniqueFileHandle file(CreateFileW(job.tempPath.c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                      FILE_ATTRIBUTE_TEMPORARY, nullptr));
    if (!file)
      return job.fail("Cannot write the temporary file: " +
                      describeError(HRESULT_FROM_WIN32(GetLastError())));
    if (!streamBody(job, request.request.get(), url, file.get(), count)) return false;
  }
  return finishRead(job, count, length);
}

struct WorkerStart {
  std::shared_ptr<Job> job;
  HMODULE module;
};

DWORD WINAPI workerMain(void* parameter) {
  HMODULE module;
  {
    std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(parameter));
    module = start->module;
    std::shared_ptr<Job> job = std::move(start->job);
    bool handedOver = false;
    try {
      handedOver = runJob(*job);
    } catch (...) {
      job->fail(describeError(E_OUTOFMEMORY));
    }
    if (!handedOver) DeleteFileW(job->tempPath.c_str());
  }
  // The worker's own reference keeps this library loaded until here.
  FreeLibraryAndExitThread(module, 0);
}

}  // namespace

unsigned WininetTransfer::defaultStallMilliseconds() {
  wchar_t text[16] = {};
  DWORD n = GetEnvironmentVariableW(L"LUMVEX_STALL_MS", text, 16);
  unsigned long ms = n > 0 && n < 16 ? std::wcstoul(text, nullptr, 10) : 0;
  return ms > 0 ? static_cast<unsigned>(ms) : 60000;
}

WininetTransfer::WininetTransfer(IUnknown* keepAlive, unsigned stallMilliseconds)
    : keepAlive_(keepAlive), stallMilliseconds_(stallMilliseconds) {
  ensureWindowClass(kWindowClass, &WininetTransfer::windowProc, 0);
  window_ = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                            moduleInstance(), nullptr);
  if (window_) SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

WininetTransfer::~WininetTransfer() {
  cancelAll();
  if (window_) {
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    // Wine hands out a pending WM_QUIT whatever the filter: it goes back to
    // the host's loop, which would otherwise never end.
    MSG msg;
    bool quit = false;
    int quitCode = 0;
    while (PeekMessageW(&msg, window_, kReportMessage, kReportMessage, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        quit = true;
        quitCode = static_cast<int>(msg.wParam);
      } else {
        delete reinterpret_cast<Message*>(msg.lParam);
      }
    }
    if (quit) PostQuitMessage(quitCode);
    DestroyWindow(window_);
  }
}

void WininetTransfer::StartRead(const std::string& address, int32_t /*kind*/,
                                const std::string& key, int32_t /*options*/, dl::ReadSink& sink) {
  // Whatever the options ask, every read fetches a fresh copy and keeps the
  // content in a temporary file: those are the only ones the control uses.
  auto fail = [](HRESULT hr) {
    throw plat::PlatformError(static_cast<int>(hr), describeError(hr));
  };
  auto badAddress = [](DWORD code) {
    throw plat::PlatformError(static_cast<int>(code), inetErrorText(code));
  };
  if (!window_) fail(HRESULT_FROM_WIN32(ERROR_INVALID_WINDOW_HANDLE));
  std::wstring url = widen(address);
  URL_COMPONENTSW parts = {};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = 1;
  if (url.empty() || !InternetCrackUrlW(url.c_str(), 0, 0, &parts))
    badAddress(ERROR_INTERNET_INVALID_URL);
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS)
    badAddress(ERROR_INTERNET_UNRECOGNIZED_SCHEME);
  if (parts.dwHostNameLength == 0) badAddress(ERROR_INTERNET_INVALID_URL);

  wchar_t folder[MAX_PATH + 1] = {};
  wchar_t name[MAX_PATH + 1] = {};
  if (!GetTempPathW(MAX_PATH, folder) || !GetTempFileNameW(folder, L"lvx", 0, name))
    fail(HRESULT_FROM_WIN32(GetLastError()));

  auto job = std::make_shared<Job>();
  job->id = nextId_++;
  job->url = std::move(url);
  job->tempPath = name;
  job->stallMilliseconds = stallMilliseconds_;
  job->window = window_;
  job->touch();

  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCWSTR>(&workerMain), &module)) {
    DeleteFileW(name);
    fail(HRESULT_FROM_WIN32(GetLastError()));
  }
  auto* start = new WorkerStart{job, module};
  HANDLE thread = CreateThread(nullptr, 0, workerMain, start, 0, nullptr);
  if (!thread) {
    DWORD error = GetLastError();
    delete start;
    FreeLibrary(module);
    DeleteFileW(name);
    fail(HRESULT_FROM_WIN32(error));
  }
  CloseHandle(thread);
  reads_.push_back(Read{job->id, key, &sink, std::move(job)});
  SetTimer(window_, kWatchTimer, kWatchMs, nullptr);
}

void WininetTransfer::CancelRead(const std::string& key) {
  bool any = false;
  for (size_t i = reads_.size(); i-- > 0;) {
    if (reads_[i].key != key) continue;
    drop(i);
    any = true;
  }
  if (!any)
    throw plat::PlatformError(static_cast<int>(E_INVALIDARG),
                              "No transfer runs under the key " + key);
}

void WininetTransfer::cancelAll() {
  while (!reads_.empty()) drop(reads_.size() - 1);
}

void WininetTransfer::drop(size_t index) {
  reads_[index].job->release();
  reads_.erase(reads_.begin() + static_cast<std::ptrdiff_t>(index));
  if (reads_.empty() && window_) KillTimer(window_, kWatchTimer);
}

void WininetTransfer::deliver(dl::ReadSink* sink, const dl::ReadReport& report, bool complete) {
  ComPtr<IUnknown> alive = ComPtr<IUnknown>::share(keepAlive_);
  try {
    if (complete)
      sink->OnReadComplete(report);
    else
      sink->OnReadProgress(report);
  } catch (...) {
    // Nothing may escape into the message loop; the control reports its own failures.
  }
}

void WininetTransfer::onReport(LPARAM lParam) {
  std::unique_ptr<Message> m(reinterpret_cast<Message*>(lParam));
  auto it =
      std::find_if(reads_.begin(), reads_.end(), [&](const Read& r) { return r.id == m->id; });
  if (it == reads_.end()) return;  // cancelled meanwhile: no more reports
  dl::ReadSink* sink = it->sink;
  dl::ReadReport r;
  switch (m->kind) {
    case Message::kData:
      reportData(*it);
      return;
    case Message::kProgress:
      if (m->status == status::kBeginDownloadData) it->total = m->total;
      if (m->status == status::kEndDownloadData) it->ended = true;
      r.StatusCode = m->status;
      r.StatusText = std::move(m->text);
      r.BytesRead = static_cast<int32_t>(m->bytes);
      r.TotalBytes = m->total;
      {
        std::shared_ptr<Job> job = it->job;
        deliver(sink, r, false);
        if (m->status == status::kRedirecting) job->resume();  // a cancel released it already
      }
      return;
    case Message::kFailed:
      drop(static_cast<size_t>(it - reads_.begin()));
      r.StatusCode = dl::status::kError;
      r.Content.Bytes = std::move(m->text);
      deliver(sink, r, false);
      return;
    case Message::kComplete:
      drop(static_cast<size_t>(it - reads_.begin()));
      r.BytesRead = static_cast<int32_t>(m->bytes);
      r.TotalBytes = r.BytesRead;
      r.Content.FilePath = narrow(m->file);
      r.Content.Movable = true;
      deliver(sink, r, true);
      return;  // the message deletes the file if it is still there
  }
}

void WininetTransfer::reportData(Read& read) {
  // Cleared before the count is read: bytes that arrive later either show
  // in this count or bring another data report.
  read.job->dataPosted.store(false);
  read.shown = read.job->bytes.load();
  dl::ReadReport r;
  r.StatusCode = status::kDownloadingData;
  r.BytesRead = static_cast<int32_t>(read.shown);
  r.TotalBytes = read.total;
  deliver(read.sink, r, false);
}

// Data that came in without a report of its own (a slow stream, or one that
// paused) is reported from here, so the progress shows all that arrived.
// The timer runs only when no posted report waits, so this never overtakes
// the worker's reports.
void WininetTransfer::reportArrivals() {
  std::vector<uint64_t> ids;
  for (const Read& r : reads_)
    if (!r.ended && !r.job->dataPosted.load() && r.job->bytes.load() > r.shown) ids.push_back(r.id);
  for (uint64_t id : ids) {
    // A report may start or end reads: look each one up again.
    auto it = std::find_if(reads_.begin(), reads_.end(), [&](const Read& r) { return r.id == id; });
    if (it != reads_.end()) reportData(*it);
  }
}

bool WininetTransfer::checkStalls() {
  const ULONGLONG t = now();
  for (size_t i = 0; i < reads_.size(); ++i) {
    Read& read = reads_[i];
    // The worker may have stamped its activity after t was taken.
    const ULONGLONG last = read.job->lastActivity.load();
    if (last >= t || t - last < stallMilliseconds_ || read.job->blocking.load()) continue;
    dl::ReadSink* sink = read.sink;
    drop(i);
    dl::ReadReport r;
    r.StatusCode = dl::status::kError;
    r.Content.Bytes = stallText(stallMilliseconds_);
    deliver(sink, r, false);
    return true;  // the report may have started or ended reads: look again next time
  }
  return false;
}

LRESULT CALLBACK WininetTransfer::windowProc(HWND window, UINT message, WPARAM wParam,
                                             LPARAM lParam) {
  auto* self = reinterpret_cast<WininetTransfer*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (message == kReportMessage) {
    if (self)
      self->onReport(lParam);
    else
      delete reinterpret_cast<Message*>(lParam);
    return 0;
  }
  if (message == WM_TIMER && wParam == kWatchTimer && self) {
    // A copy keeps the control alive should a handler let go of it.
    ComPtr<IUnknown> alive = ComPtr<IUnknown>::share(self->keepAlive_);
    if (!self->checkStalls()) self->reportArrivals();
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace lumvex
