// WinINet reads: one worker thread per read does the blocking calls and
// writes the temporary file; reports travel to the service's window as
// posted messages, each owning a heap-allocated Message.
#include "dlcontrol/win/wininet_transfer.h"

#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cwchar>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>

#include "dlcontrol/win/com_ptr.h"
#include "dlcontrol/win/module.h"
#include "dlcontrol/win/urlmon_transfer.h"
#include "dlcontrol/win/win_text.h"
#include "platform/error.h"

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
// The URL service's codes for a bad address, so that a start failure reads
// the same whichever service runs.
constexpr HRESULT kInvalidUrl = static_cast<HRESULT>(0x800C0002L);
constexpr HRESULT kUnknownProtocol = static_cast<HRESULT>(0x800C000DL);

namespace status = dl::status;

ULONGLONG now() { return GetTickCount64(); }

int32_t clamp32(int64_t value) { return static_cast<int32_t>(std::clamp<int64_t>(value, 0, INT32_MAX)); }

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
  std::string text;
  wchar_t* buffer = nullptr;
  HMODULE module = GetModuleHandleW(L"wininet.dll");
  DWORD n = 0;
  if (module)
    n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                       module, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (!n)
    n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (n && buffer) text = narrow(buffer, n);
  if (buffer) LocalFree(buffer);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
    text.pop_back();
  if (text.empty()) {
    switch (code) {
      case ERROR_INTERNET_TIMEOUT: text = "The connection timed out"; break;
      case ERROR_INTERNET_NAME_NOT_RESOLVED: text = "The server name could not be resolved"; break;
      case ERROR_INTERNET_CANNOT_CONNECT: text = "Cannot connect to the server"; break;
      case ERROR_INTERNET_CONNECTION_ABORTED: text = "The connection was aborted"; break;
      case ERROR_INTERNET_CONNECTION_RESET: text = "The connection was reset"; break;
      case ERROR_HTTP_INVALID_SERVER_RESPONSE: text = "The server gave an invalid answer"; break;
      case ERROR_INTERNET_INVALID_CA:
      case ERROR_INTERNET_SEC_CERT_CN_INVALID:
      case ERROR_INTERNET_SEC_CERT_DATE_INVALID:
      case ERROR_INTERNET_SEC_INVALID_CERT: text = "The server's certificate is not valid"; break;
      default: text = "Transfer error"; break;
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

struct InetHandle {
  HINTERNET h = nullptr;
  InetHandle() = default;
  explicit InetHandle(HINTERNET handle) : h(handle) {}
  InetHandle(const InetHandle&) = delete;
  InetHandle& operator=(const InetHandle&) = delete;
  // No callback may reach a job that is gone: it is unhooked first.
  ~InetHandle() {
    if (h) {
      InternetSetStatusCallbackW(h, nullptr);
      InternetCloseHandle(h);
    }
  }
};

struct FileHandle {
  HANDLE h = INVALID_HANDLE_VALUE;
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  explicit FileHandle(HANDLE handle) : h(handle) {}
  ~FileHandle() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};

// Writes the blocks of the temporary file on a thread of its own, so that
// the next block comes in from the network while the last one goes to disk
// (either alone takes about as long as the other). Two buffers take turns.
class BlockWriter {
 public:
  explicit BlockWriter(HANDLE file) : file_(file) {}
  BlockWriter(const BlockWriter&) = delete;
  BlockWriter& operator=(const BlockWriter&) = delete;
  ~BlockWriter() { finish(); }

  bool start() {
    for (auto& b : buffers_) {
      b.reset(new (std::nothrow) char[kBlock]);
      if (!b) return false;
    }
    thread_ = std::thread([this] { run(); });
    return true;
  }
  char* next() const { return buffers_[next_].get(); }

  // Queues the buffer next() gave, filled with size bytes; false once a
  // write failed (error() tells why).
  bool submit(DWORD size) {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [this] { return !pending_; });
    if (error_) return false;
    pending_ = buffers_[next_].get();
    pendingSize_ = size;
    next_ ^= 1;
    changed_.notify_all();
    return true;
  }
  // Waits for the last write; false when any write failed.
  bool finish() {
    if (thread_.joinable()) {
      {
        std::lock_guard<std::mutex> guard(lock_);
        closing_ = true;
      }
      changed_.notify_all();
      thread_.join();
    }
    return error_ == 0;
  }
  DWORD error() const { return error_; }

 private:
  void run() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
      changed_.wait(guard, [this] { return pending_ || closing_; });
      if (!pending_) return;
      char* data = pending_;
      DWORD size = pendingSize_;
      guard.unlock();
      DWORD put = 0;
      DWORD error = 0;
      if (!error_ && (!WriteFile(file_, data, size, &put, nullptr) || put != size))
        error = GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
      guard.lock();
      if (error) error_ = error;
      pending_ = nullptr;
      changed_.notify_all();
    }
  }

  HANDLE file_;
  std::unique_ptr<char[]> buffers_[2];
  int next_ = 0;
  std::mutex lock_;
  std::condition_variable changed_;
  char* pending_ = nullptr;
  DWORD pendingSize_ = 0;
  bool closing_ = false;
  DWORD error_ = 0;
  std::thread thread_;
};

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

  void touch() { lastActivity.store(now()); }

  bool post(Message* m) {
    std::unique_ptr<Message> owned(m);
    std::lock_guard<std::mutex> guard(lock);
    if (!window || !PostMessageW(window, kReportMessage, 0, reinterpret_cast<LPARAM>(m))) return false;
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

  void release() {
    std::lock_guard<std::mutex> guard(lock);
    window = nullptr;
    stop.store(true);
  }
};

namespace {

using Job = WininetTransfer::Job;

void CALLBACK statusCallback(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length) {
  auto* job = reinterpret_cast<Job*>(context);
  if (!job) return;
  job->touch();
  switch (status) {
    case INTERNET_STATUS_CONNECTING_TO_SERVER:
      job->progress(status::kConnecting, statusText(info, length));
      break;
    case INTERNET_STATUS_SENDING_REQUEST:
      job->progress(status::kSendingRequest, {});
      break;
    case INTERNET_STATUS_REDIRECT: {
      // Reported as the full new location, as the URL service does.
      std::string location = statusText(info, length);
      if (location.find("://") == std::string::npos) {
        std::wstring relative = widen(location);
        wchar_t combined[INTERNET_MAX_URL_LENGTH + 1];
        DWORD size = INTERNET_MAX_URL_LENGTH;
        if (InternetCombineUrlW(job->url.c_str(), relative.c_str(), combined, &size, ICU_NO_ENCODE))
          location = narrow(combined, size);
      }
      job->progress(status::kRedirecting, location);
      break;
    }
    default:
      break;
  }
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

// The worker's whole read. Returns when the read ended, failed or is no
// longer wanted; true when a completion report took the temporary file over.
bool runJob(Job& job) {
  auto wanted = [&] { return !job.stop.load(); };
  URL_COMPONENTSW parts = {};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = 1;
  std::wstring host;
  if (InternetCrackUrlW(job.url.c_str(), 0, 0, &parts) && parts.lpszHostName)
    host.assign(parts.lpszHostName, parts.dwHostNameLength);
  job.progress(status::kFindingResource, narrow(host));

  InetHandle session(InternetOpenW(L"Lumvex", INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0));
  if (!session.h) return job.fail(inetErrorText(GetLastError()));
  InternetSetStatusCallbackW(session.h, statusCallback);
  // A silent server must not hold the worker much beyond the stall limit.
  DWORD timeout = job.stallMilliseconds + 5000;
  InternetSetOptionW(session.h, INTERNET_OPTION_RECEIVE_TIMEOUT, &timeout, sizeof timeout);
  InternetSetOptionW(session.h, INTERNET_OPTION_DATA_RECEIVE_TIMEOUT, &timeout, sizeof timeout);

  // Always a fresh copy from the server, and none kept in the cache.
  InetHandle request(InternetOpenUrlW(session.h, job.url.c_str(), nullptr, 0,
                                      INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE | INTERNET_FLAG_NO_UI |
                                          INTERNET_FLAG_PRAGMA_NOCACHE,
                                      reinterpret_cast<DWORD_PTR>(&job)));
  if (!request.h) {
    DWORD error = GetLastError();
    return wanted() ? job.fail(inetErrorText(error)) : false;
  }
  job.touch();
  DWORD code = 0;
  DWORD size = sizeof code;
  if (HttpQueryInfoW(request.h, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &code, &size, nullptr) && code >= 400) {
    char text[96];
    std::snprintf(text, sizeof text, "The server answered with HTTP status %lu", static_cast<unsigned long>(code));
    return job.fail(text);
  }
  std::wstring type = queryText(request.h, HTTP_QUERY_CONTENT_TYPE);
  type = type.substr(0, type.find(L';'));
  while (!type.empty() && type.back() == L' ') type.pop_back();
  if (!type.empty()) job.progress(status::kMimeTypeAvailable, narrow(type));
  int64_t length = -1;
  std::wstring lengthText = queryText(request.h, HTTP_QUERY_CONTENT_LENGTH);
  if (!lengthText.empty()) length = _wcstoi64(lengthText.c_str(), nullptr, 10);
  const int32_t total = length > 0 ? clamp32(length) : 0;
  if (!job.progress(status::kBeginDownloadData, narrow(job.url), 0, total)) return false;

  FileHandle file(CreateFileW(job.tempPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr));
  if (file.h == INVALID_HANDLE_VALUE)
    return job.fail("Cannot write the temporary file: " + describeError(HRESULT_FROM_WIN32(GetLastError())));
  BlockWriter writer(file.h);
  if (!writer.start()) return job.fail(describeError(E_OUTOFMEMORY));
  auto writeFailed = [&] {
    return job.fail("Cannot write the temporary file: " + describeError(HRESULT_FROM_WIN32(writer.error())));
  };
  int64_t count = 0;
  // A blocking read returns only once its whole size has arrived, and
  // WinINet tells at most kSmallestPiece of what is waiting. So a read asks
  // for exactly what is said to be there (it never waits and leaves nothing
  // uncounted) until the stream has run fast for kWarmUp bytes; then reads
  // grow while they come back at once, and fall back to exact ones when one
  // had to wait. The worker sends a data report every kReportEvery bytes of
  // a fast stream; the window's timer reports whatever else has arrived
  // (see reportArrivals).
  DWORD readSize = kSmallestRead;
  int64_t fastRun = 0;
  int64_t reported = 0;
  for (;;) {
    if (!wanted()) return false;
    DWORD available = 0;
    if (!InternetQueryDataAvailable(request.h, &available, 0, 0)) {
      DWORD error = GetLastError();
      return wanted() ? job.fail(inetErrorText(error)) : false;
    }
    if (available == 0) break;
    const bool exact = available < kSmallestPiece || fastRun < kWarmUp;
    const DWORD ask = exact ? std::min(available, kBlock) : readSize;
    const ULONGLONG started = now();
    DWORD got = 0;
    if (!InternetReadFile(request.h, writer.next(), ask, &got)) {
      DWORD error = GetLastError();
      return wanted() ? job.fail(inetErrorText(error)) : false;
    }
    if (got == 0) break;
    if (now() - started > kSlowReadMs) {
      fastRun = 0;
      readSize = kSmallestRead;
    } else {
      fastRun += got;
      if (!exact) readSize = std::min<DWORD>(readSize * 2, kBlock);
    }
    job.touch();
    if (!writer.submit(got)) return writeFailed();
    count += got;
    job.bytes.store(count);
    if (count - reported >= kReportEvery) {
      reported = count;
      if (!job.dataPosted.exchange(true) && !job.post(new Message{Message::kData, job.id, 0, {}, 0, 0, {}}))
        return false;
    }
  }
  if (!writer.finish()) return writeFailed();
  CloseHandle(file.h);
  file.h = INVALID_HANDLE_VALUE;
  // A connection that closes early would otherwise pass for the whole file.
  if (length >= 0 && count < length) {
    char text[128];
    std::snprintf(text, sizeof text, "The connection closed after %lld of %lld bytes", static_cast<long long>(count),
                  static_cast<long long>(length));
    return job.fail(text);
  }
  if (!job.progress(status::kEndDownloadData, {}, count, total)) return false;
  // Once posted, the message owns the file: it deletes it if it is dropped.
  return job.post(new Message{Message::kComplete, job.id, 0, {}, count, total, job.tempPath});
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

WininetTransfer::WininetTransfer(IUnknown* keepAlive, unsigned stallMilliseconds)
    : keepAlive_(keepAlive), stallMilliseconds_(stallMilliseconds) {
  ensureWindowClass(kWindowClass, &WininetTransfer::windowProc, 0);
  window_ = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, moduleInstance(), nullptr);
  if (window_) SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

WininetTransfer::~WininetTransfer() {
  cancelAll();
  if (window_) {
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    MSG msg;
    while (PeekMessageW(&msg, window_, kReportMessage, kReportMessage, PM_REMOVE))
      delete reinterpret_cast<Message*>(msg.lParam);
    DestroyWindow(window_);
  }
}

void WininetTransfer::StartRead(const std::string& address, int32_t /*kind*/, const std::string& key,
                                int32_t /*options*/, dl::ReadSink& sink) {
  // Whatever the options ask, every read fetches a fresh copy and keeps the
  // content in a temporary file: those are the only ones the control uses.
  auto fail = [](HRESULT hr) { throw plat::PlatformError(static_cast<int>(hr), describeError(hr)); };
  if (!window_) fail(HRESULT_FROM_WIN32(ERROR_INVALID_WINDOW_HANDLE));
  std::wstring url = widen(address);
  URL_COMPONENTSW parts = {};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = 1;
  if (url.empty() || !InternetCrackUrlW(url.c_str(), 0, 0, &parts)) fail(kInvalidUrl);
  if (parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) fail(kUnknownProtocol);
  if (parts.dwHostNameLength == 0) fail(kInvalidUrl);

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
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&workerMain), &module)) {
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
  if (!any) throw plat::PlatformError(static_cast<int>(E_INVALIDARG), "No transfer runs under the key " + key);
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
  auto it = std::find_if(reads_.begin(), reads_.end(), [&](const Read& r) { return r.id == m->id; });
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
      r.BytesRead = clamp32(m->bytes);
      r.TotalBytes = m->total;
      deliver(sink, r, false);
      return;
    case Message::kFailed:
      drop(static_cast<size_t>(it - reads_.begin()));
      r.StatusCode = dl::status::kError;
      r.Content.Bytes = std::move(m->text);
      deliver(sink, r, false);
      return;
    case Message::kComplete:
      drop(static_cast<size_t>(it - reads_.begin()));
      r.BytesRead = clamp32(m->bytes);
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
  r.BytesRead = clamp32(read.shown);
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
    if (t - read.job->lastActivity.load() < stallMilliseconds_) continue;
    dl::ReadSink* sink = read.sink;
    drop(i);
    char text[128];
    std::snprintf(text, sizeof text, "No data received from the server for %u seconds; the transfer was stopped",
                  stallMilliseconds_ / 1000);
    dl::ReadReport r;
    r.StatusCode = dl::status::kError;
    r.Content.Bytes = text;
    deliver(sink, r, false);
    return true;  // the report may have started or ended reads: look again next time
  }
  return false;
}

LRESULT CALLBACK WininetTransfer::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
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
