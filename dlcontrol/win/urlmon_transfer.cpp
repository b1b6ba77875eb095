// URLMon reads: one UrlRead object per binding is its IBindStatusCallback.
// It pulls the data stream as URLMon announces it and appends it to a
// temporary file, so memory use stays flat whatever the size of the file.
#include "dlcontrol/win/urlmon_transfer.h"

#include <urlmon.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <new>

#include "dlcontrol/win/com_ptr.h"
#include "platform/error.h"
#include "dlcontrol/win/module.h"
#include "dlcontrol/win/win_text.h"

namespace lumvex {
namespace {

constexpr UINT kFlushMessage = WM_APP + 1;
// A data report goes out for every this many bytes pulled in one go: on a
// fast connection the stream keeps giving data for a long time, and the
// host's progress must move meanwhile. (The stream is read only from inside
// URLMon's callbacks: under Wine, reads made from anywhere else can leave its
// final notification queued for ever.)
constexpr int64_t kReportEvery = 2 * 1024 * 1024;
constexpr UINT_PTR kWatchTimer = 1;
constexpr wchar_t kWindowClass[] = L"LumvexTransferWindow";
// Wine's URLMon hands the data over in pieces of at most 8 KiB whatever is
// asked; a large buffer still saves a round of calls per piece.
constexpr DWORD kChunk = 1024 * 1024;

int32_t clamp32(ULONG value) { return static_cast<int32_t>(std::min<ULONG>(value, INT32_MAX)); }

ULONGLONG now() { return GetTickCount64(); }

std::string trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
    text.pop_back();
  return text;
}

}  // namespace

std::string describeError(HRESULT hr) {
  wchar_t* buffer = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  if (n == 0) {
    HMODULE urlmon = GetModuleHandleW(L"urlmon.dll");
    if (urlmon)
      n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                         urlmon, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  }
  std::string text;
  if (n && buffer) text = trimmed(narrow(buffer, n));
  if (buffer) LocalFree(buffer);
  if (text.empty()) {
    switch (hr) {
      case INET_E_INVALID_URL: text = "The address is not valid"; break;
      case INET_E_NO_SESSION: text = "No Internet session"; break;
      case INET_E_CANNOT_CONNECT: text = "Cannot connect to the server"; break;
      case INET_E_RESOURCE_NOT_FOUND: text = "The server or the file was not found"; break;
      case INET_E_OBJECT_NOT_FOUND: text = "The file was not found on the server"; break;
      case INET_E_DATA_NOT_AVAILABLE: text = "No data is available"; break;
      case INET_E_DOWNLOAD_FAILURE: text = "The download failed"; break;
      case INET_E_CONNECTION_TIMEOUT: text = "The connection timed out"; break;
      case INET_E_INVALID_REQUEST: text = "The request is not valid"; break;
      case INET_E_UNKNOWN_PROTOCOL: text = "The protocol of the address is not supported"; break;
      case INET_E_SECURITY_PROBLEM: text = "A security problem stopped the transfer"; break;
      case E_ABORT: text = "The transfer was aborted"; break;
      default: text = "Transfer error"; break;
    }
  }
  char code[32];
  std::snprintf(code, sizeof code, " (0x%08lX)", static_cast<unsigned long>(hr));
  return text + code;
}

// One binding. COM reference counted: URLMon holds it while binding, the
// transfer while it is listed, a delivery in progress while it runs.
class UrlRead final : public IBindStatusCallback, public IHttpNegotiate, public IServiceProvider {
 public:
  UrlRead(UrlmonTransfer& owner, std::string key, dl::ReadSink& sink) : owner_(&owner), key_(std::move(key)), sink_(&sink) {}

  const std::string& key() const { return key_; }
  bool done() const { return done_; }

  bool start(const std::string& url, long& errorNumber, std::string& description) {
    auto fail = [&](HRESULT hr, const std::string& what) {
      errorNumber = static_cast<long>(hr);
      description = what.empty() ? describeError(hr) : what;
      done_ = true;
      closeFile(true);
      return false;
    };
    wchar_t folder[MAX_PATH + 1] = {};
    wchar_t name[MAX_PATH + 1] = {};
    if (!GetTempPathW(MAX_PATH, folder) || !GetTempFileNameW(folder, L"lvx", 0, name))
      return fail(HRESULT_FROM_WIN32(GetLastError()), "");
    tempPath_ = name;
    file_ = CreateFileW(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_ALWAYS,
                        FILE_ATTRIBUTE_TEMPORARY, nullptr);
    if (file_ == INVALID_HANDLE_VALUE) {
      file_ = nullptr;
      return fail(HRESULT_FROM_WIN32(GetLastError()), "");
    }

    std::wstring wurl = widen(url);
    ComPtr<IMoniker> moniker;
    HRESULT hr = CreateURLMonikerEx(nullptr, wurl.c_str(), moniker.put(), URL_MK_UNIFORM);
    if (FAILED(hr)) return fail(hr, "");
    ComPtr<IBindCtx> context;
    hr = CreateAsyncBindCtx(0, static_cast<IBindStatusCallback*>(this), nullptr, context.put());
    if (FAILED(hr)) return fail(hr, "");

    lastActivity_ = now();
    starting_ = true;
    ComPtr<IStream> early;
    hr = moniker->BindToStorage(context.get(), nullptr, IID_IStream, early.putVoid());
    starting_ = false;
    if (FAILED(hr)) {
      pending_.clear();
      if (binding_) binding_->Abort();
      binding_.reset();
      return fail(hr, "");
    }
    if (early && !stream_) stream_ = std::move(early);
    moniker_ = std::move(moniker);
    context_ = std::move(context);
    // Reports that came inside BindToStorage reach the sink only after
    // the caller has recorded the start.
    if (!pending_.empty()) {
      flushQueued_ = true;
      AddRef();
      PostMessageW(owner_->window_, kFlushMessage, 0, reinterpret_cast<LPARAM>(this));
    }
    return true;
  }

  // Ends the read without any further report.
  void abort() {
    if (done_) return;
    done_ = true;
    pending_.clear();
    if (binding_) binding_->Abort();
    release();
  }

  void detach() {
    abort();
    owner_ = nullptr;
    sink_ = nullptr;
  }

  void checkStall(unsigned limitMs) {
    if (done_ || now() - lastActivity_ < limitMs) return;
    char text[128];
    std::snprintf(text, sizeof text, "No data received from the server for %u seconds; the transfer was stopped",
                  limitMs / 1000);
    finish(Report{Report::kFailed, 0, text, 0, 0}, true);
  }

  void flushPending() {
    flushQueued_ = false;
    std::vector<Report> reports;
    reports.swap(pending_);
    for (Report& r : reports) {
      if (!owner_) break;
      deliverNow(r);
    }
  }

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IBindStatusCallback))
      *out = static_cast<IBindStatusCallback*>(this);
    else if (IsEqualIID(iid, IID_IHttpNegotiate))
      *out = static_cast<IHttpNegotiate*>(this);
    else if (IsEqualIID(iid, IID_IServiceProvider))
      *out = static_cast<IServiceProvider*>(this);
    else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs_); }
  ULONG STDMETHODCALLTYPE Release() override {
    LONG n = --refs_;
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
  }

  // IServiceProvider: URLMon asks for the HTTP negotiation through it.
  HRESULT STDMETHODCALLTYPE QueryService(REFGUID service, REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualGUID(service, IID_IHttpNegotiate)) return QueryInterface(iid, out);
    return E_NOINTERFACE;
  }

  // IBindStatusCallback
  HRESULT STDMETHODCALLTYPE OnStartBinding(DWORD, IBinding* binding) override {
    binding_ = ComPtr<IBinding>::share(binding);
    touch();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetPriority(LONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnLowResource(DWORD) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnProgress(ULONG progress, ULONG progressMax, ULONG status, LPCWSTR text) override {
    touch();
    if (done_) return S_OK;
    if (progressMax > 0 && (status == BINDSTATUS_BEGINDOWNLOADDATA || status == BINDSTATUS_DOWNLOADINGDATA ||
                            status == BINDSTATUS_ENDDOWNLOADDATA))
      total_ = clamp32(progressMax);
    // The data reports are made from what was actually pulled (see drain):
    // URLMon's own counts run ahead of the stream and do not come reliably.
    if (status == BINDSTATUS_DOWNLOADINGDATA || status == BINDSTATUS_ENDDOWNLOADDATA) return S_OK;
    deliver(Report{Report::kProgress, static_cast<int>(status), narrowZ(text), clamp32(progress), clamp32(progressMax)});
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnStopBinding(HRESULT result, LPCWSTR error) override {
    touch();
    if (done_) return S_OK;
    if (drain() == Drain::kFailed || done_) return S_OK;
    if (SUCCEEDED(result) && httpStatus_ < 400)
      deliver(Report{Report::kProgress, BINDSTATUS_ENDDOWNLOADDATA, {}, bytes32(), total_});
    if (done_) return S_OK;  // the sink cancelled from that report
    if (FAILED(result)) {
      std::string text = narrowZ(error);
      finish(Report{Report::kFailed, 0, text.empty() ? describeError(result) : text, 0, 0});
    } else if (httpStatus_ >= 400) {
      char text[96];
      std::snprintf(text, sizeof text, "The server answered with HTTP status %lu",
                    static_cast<unsigned long>(httpStatus_));
      finish(Report{Report::kFailed, 0, text, 0, 0});
    } else {
      finish(Report{Report::kComplete, 0, {}, 0, 0});
    }
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD* flags, BINDINFO* info) override {
    if (!flags || !info) return E_INVALIDARG;
    // Always a fresh copy from the server, delivered as a pulled stream.
    *flags = BINDF_ASYNCHRONOUS | BINDF_ASYNCSTORAGE | BINDF_PULLDATA | BINDF_GETNEWESTVERSION |
             BINDF_NOWRITECACHE;
    ULONG size = info->cbSize;
    ZeroMemory(info, size);
    info->cbSize = size;
    info->dwBindVerb = BINDVERB_GET;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnDataAvailable(DWORD, DWORD, FORMATETC*, STGMEDIUM* medium) override {
    touch();
    if (done_) return S_OK;
    if (!stream_ && medium && medium->tymed == TYMED_ISTREAM && medium->pstm)
      stream_ = ComPtr<IStream>::share(medium->pstm);
    const int64_t before = written_;
    if (drain() != Drain::kFailed && !done_ && written_ > before) reportData();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnObjectAvailable(REFIID, IUnknown*) override { return S_OK; }

  // IHttpNegotiate
  HRESULT STDMETHODCALLTYPE BeginningTransaction(LPCWSTR, LPCWSTR, DWORD, LPWSTR* additional) override {
    if (additional) *additional = nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnResponse(DWORD code, LPCWSTR, LPCWSTR, LPWSTR* additional) override {
    if (additional) *additional = nullptr;
    httpStatus_ = code;
    return S_OK;
  }

 private:
  struct Report {
    enum Kind { kProgress, kFailed, kComplete } kind;
    int status;
    std::string text;
    int32_t bytesRead;
    int32_t totalBytes;
  };

  ~UrlRead() { closeFile(true); }

  void touch() { lastActivity_ = now(); }

  enum class Drain { kWaiting, kFailed };

  void reportData() {
    reported_ = written_;
    deliver(Report{Report::kProgress, BINDSTATUS_DOWNLOADINGDATA, {}, bytes32(), total_});
  }

  // Pulls what the stream has now into the temporary file, with a data
  // report every kReportEvery bytes. Stops early when a report's handler
  // ended the read. kFailed: writing failed and the read is over.
  Drain drain() {
    if (!stream_ || !file_) return Drain::kWaiting;
    if (buffer_.empty()) buffer_.resize(kChunk);
    for (;;) {
      if (done_) return Drain::kWaiting;
      ULONG got = 0;
      HRESULT hr = stream_->Read(buffer_.data(), kChunk, &got);
      if (got > 0) {
        DWORD put = 0;
        if (!file_ || !WriteFile(file_, buffer_.data(), got, &put, nullptr) || put != got) {
          if (done_) return Drain::kWaiting;
          std::string text = "Cannot write the temporary file: " + describeError(HRESULT_FROM_WIN32(GetLastError()));
          finish(Report{Report::kFailed, 0, text, 0, 0}, true);
          return Drain::kFailed;
        }
        written_ += got;
        if (written_ - reported_ >= kReportEvery && hr == S_OK) reportData();
      }
      if (hr != S_OK || got == 0) return Drain::kWaiting;  // S_FALSE: end, E_PENDING: more later
    }
  }

  void closeFile(bool remove) {
    if (file_) {
      CloseHandle(file_);
      file_ = nullptr;
    }
    if (remove && !tempPath_.empty()) {
      DeleteFileW(tempPath_.c_str());
      tempPath_.clear();
    }
  }

  // Ends the read with its last report. Done is set before an abort, so the
  // OnStopBinding that URLMon may call from inside Abort reports nothing.
  void finish(Report report, bool abortBinding = false) {
    done_ = true;
    if (abortBinding && binding_) binding_->Abort();
    stream_.reset();
    closeFile(false);
    deliver(std::move(report));
  }

  int32_t bytes32() const { return static_cast<int32_t>(std::min<int64_t>(written_, INT32_MAX)); }

  void deliver(Report report) {
    if (starting_ || flushQueued_) {
      pending_.push_back(std::move(report));
      return;
    }
    deliverNow(report);
  }

  void deliverNow(const Report& report) {
    AddRef();  // the sink may cancel and drop this read while we are in it
    if (report.kind != Report::kProgress) release();
    if (dl::ReadSink* sink = owner_ ? sink_ : nullptr) {
      ComPtr<IUnknown> alive = ComPtr<IUnknown>::share(owner_->keepAlive_);
      dl::ReadReport r;
      try {
        switch (report.kind) {
          case Report::kProgress:
            r.StatusCode = report.status;
            r.StatusText = report.text;
            r.BytesRead = report.bytesRead;
            r.TotalBytes = report.totalBytes;
            sink->OnReadProgress(r);
            break;
          case Report::kFailed:
            r.StatusCode = dl::status::kError;
            r.Content.Bytes = report.text;
            sink->OnReadProgress(r);
            break;
          case Report::kComplete:
            r.BytesRead = static_cast<int32_t>(std::min<int64_t>(written_, INT32_MAX));
            r.TotalBytes = r.BytesRead;
            r.Content.FilePath = narrow(tempPath_);
            r.Content.Movable = true;  // closed by finish(); a missing file is not deleted again
            sink->OnReadComplete(r);
            break;
        }
      } catch (...) {
        // Nothing may escape into URLMon; the control reports its own failures.
      }
    }
    if (report.kind != Report::kProgress) closeFile(true);
    Release();
  }

  // Leaves the transfer's list: no more key matches, no more stall checks.
  void release() {
    if (owner_) owner_->finished(this);
  }

  LONG refs_ = 1;
  UrlmonTransfer* owner_;
  std::string key_;
  dl::ReadSink* sink_;
  ComPtr<IMoniker> moniker_;
  ComPtr<IBindCtx> context_;
  ComPtr<IBinding> binding_;
  ComPtr<IStream> stream_;
  HANDLE file_ = nullptr;
  std::wstring tempPath_;
  std::vector<char> buffer_;
  int64_t written_ = 0;
  int32_t total_ = 0;
  DWORD httpStatus_ = 0;
  bool done_ = false;
  bool starting_ = false;
  bool flushQueued_ = false;
  int64_t reported_ = 0;
  std::vector<Report> pending_;
  ULONGLONG lastActivity_ = 0;
  ModuleRef module_;
};

UrlmonTransfer::UrlmonTransfer(IUnknown* keepAlive, unsigned stallMilliseconds)
    : keepAlive_(keepAlive), stallMilliseconds_(stallMilliseconds) {
  ensureWindowClass(kWindowClass, &UrlmonTransfer::windowProc, 0);
  window_ = CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, moduleInstance(), nullptr);
  if (window_) SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

UrlmonTransfer::~UrlmonTransfer() {
  cancelAll();
  if (window_) {
    SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
    // A deferred report still queued holds a reference to its read.
    MSG msg;
    while (PeekMessageW(&msg, window_, kFlushMessage, kFlushMessage, PM_REMOVE))
      reinterpret_cast<UrlRead*>(msg.lParam)->Release();
    DestroyWindow(window_);
  }
}

void UrlmonTransfer::StartRead(const std::string& address, int32_t /*kind*/, const std::string& key,
                               int32_t /*options*/, dl::ReadSink& sink) {
  // Whatever the options ask, every read fetches a fresh copy and keeps the
  // content in a temporary file: those are the only ones the control uses.
  auto* read = new (std::nothrow) UrlRead(*this, key, sink);
  if (!read) throw plat::PlatformError(static_cast<int>(E_OUTOFMEMORY), describeError(E_OUTOFMEMORY));
  reads_.push_back(read);  // takes the creation reference
  long number = 0;
  std::string description;
  if (!read->start(address, number, description)) {
    finished(read);
    throw plat::PlatformError(static_cast<int>(number), description);
  }
  if (window_) SetTimer(window_, kWatchTimer, 1000, nullptr);
}

void UrlmonTransfer::CancelRead(const std::string& key) {
  std::vector<UrlRead*> matching;
  for (UrlRead* r : reads_)
    if (r->key() == key && !r->done()) matching.push_back(r);
  if (matching.empty())
    throw plat::PlatformError(static_cast<int>(E_INVALIDARG), "No transfer runs under the key " + key);
  for (UrlRead* r : matching) r->AddRef();
  for (UrlRead* r : matching) {
    r->abort();
    r->Release();
  }
}

void UrlmonTransfer::cancelAll() {
  while (!reads_.empty()) {
    UrlRead* read = reads_.back();
    read->AddRef();
    read->detach();
    // detach() unlists a running read; one that is done but still waiting
    // for its deferred report is unlisted here.
    if (!reads_.empty() && reads_.back() == read) finished(read);
    read->Release();
  }
}

void UrlmonTransfer::finished(UrlRead* read) {
  auto it = std::find(reads_.begin(), reads_.end(), read);
  if (it == reads_.end()) return;
  reads_.erase(it);
  if (reads_.empty() && window_) KillTimer(window_, kWatchTimer);
  read->Release();
}

LRESULT CALLBACK UrlmonTransfer::windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* self = reinterpret_cast<UrlmonTransfer*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (message == kFlushMessage) {
    auto* read = reinterpret_cast<UrlRead*>(lParam);
    if (self) read->flushPending();
    read->Release();
    return 0;
  }
  if (message == WM_TIMER && wParam == kWatchTimer && self) {
    // A copy: a stall report may start or end other reads.
    std::vector<UrlRead*> reads = self->reads_;
    for (UrlRead* r : reads) r->AddRef();
    for (UrlRead* r : reads) {
      r->checkStall(self->stallMilliseconds_);
      r->Release();
    }
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace lumvex
