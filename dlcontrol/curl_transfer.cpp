#include "dlcontrol/curl_transfer.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <vector>

#include "platform/error.h"

namespace dl {

namespace {

using Clock = std::chrono::steady_clock;

// Large receive buffers keep the number of write calls (and of callbacks)
// low on fast links; one buffer per running read.
constexpr long kReceiveBuffer = 512 * 1024;
// libcurl hands the body over in pieces of at most 16 KiB; gathering them
// writes the content file in far fewer calls.
constexpr size_t kWriteBuffer = 512 * 1024;

// Writes all of [p, p + n) to fd; false with errno set on failure.
bool writeAll(int fd, const char* p, size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

void globalInit() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool iequalsPrefix(std::string_view line, std::string_view name) {
  if (line.size() < name.size()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(line[i])) !=
        std::tolower(static_cast<unsigned char>(name[i])))
      return false;
  }
  return true;
}

std::string trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() &&
         (s.back() == '\r' || s.back() == '\n' || s.back() == ' ' || s.back() == '\t'))
    s.remove_suffix(1);
  return std::string(s);
}

// The scheme and host of an http or https address; empty host when the
// address is not one.
struct UrlParts {
  std::string scheme, host;
};

UrlParts parseUrl(const std::string& address) {
  UrlParts parts;
  CURLU* u = curl_url();
  if (!u) return parts;
  if (curl_url_set(u, CURLUPART_URL, address.c_str(), 0) == CURLUE_OK) {
    char* scheme = nullptr;
    char* host = nullptr;
    if (curl_url_get(u, CURLUPART_SCHEME, &scheme, 0) == CURLUE_OK) parts.scheme = scheme;
    if (curl_url_get(u, CURLUPART_HOST, &host, 0) == CURLUE_OK) parts.host = host;
    curl_free(scheme);
    curl_free(host);
  }
  curl_url_cleanup(u);
  if (parts.scheme != "http" && parts.scheme != "https") parts.host.clear();
  return parts;
}

std::string secondsText(std::chrono::milliseconds ms) {
  if (ms.count() % 1000 == 0) return std::to_string(ms.count() / 1000);
  std::string s = std::to_string(ms.count() / 1000) + ".";
  std::string frac = std::to_string(1000 + ms.count() % 1000).substr(1);
  while (!frac.empty() && frac.back() == '0') frac.pop_back();
  return s + frac;
}

}  // namespace

struct CurlTransfer::Read {
  CurlTransfer* owner = nullptr;
  uint64_t id = 0;
  std::string key;
  ReadSink* sink = nullptr;
  std::string url;  // the address now being requested
  CURL* easy = nullptr;
  curl_slist* headers = nullptr;
  bool inMulti = false;
  bool finished = false;  // its last report is queued
  int fd = -1;
  std::string tempPath;
  std::vector<char> unwritten;  // received, not yet in the content file
  int64_t bytes = 0;
  int64_t total = 0;
  int64_t reportedBytes = -1;
  Clock::time_point lastReport{};
  Clock::time_point lastActivity{};
  int redirects = 0;
  // The response being received.
  long code = 0;
  std::string reason, location, contentType;
  bool headersDone = false;
  bool discardBody = false;
  std::string abortText;  // why a callback stopped the transfer
  char errbuf[CURL_ERROR_SIZE] = {};

  ~Read() {
    if (easy) {
      if (inMulti) curl_multi_remove_handle(owner->multi_, easy);
      curl_easy_cleanup(easy);
    }
    curl_slist_free_all(headers);
    if (fd >= 0) ::close(fd);
    if (!tempPath.empty()) ::unlink(tempPath.c_str());
  }
};

struct CurlCallbacks {
  static size_t header(char* buf, size_t size, size_t n, void* ud) {
    auto& r = *static_cast<CurlTransfer::Read*>(ud);
    const size_t len = size * n;
    std::string_view line(buf, len);
    r.lastActivity = Clock::now();
    if (line.substr(0, 5) == "HTTP/") {
      // A new response (after an interim 1xx one, too).
      r.code = 0;
      r.reason.clear();
      r.location.clear();
      r.contentType.clear();
      r.headersDone = false;
      const auto sp = line.find(' ');
      if (sp != std::string_view::npos) {
        const std::string rest = trimmed(line.substr(sp + 1));
        r.code = std::strtol(rest.c_str(), nullptr, 10);
        const auto sp2 = rest.find(' ');
        if (sp2 != std::string::npos) r.reason = rest.substr(sp2 + 1);
      }
      return len;
    }
    if (line == "\r\n" || line == "\n") {
      if (r.code / 100 == 1) return len;
      r.headersDone = true;
      auto& self = *r.owner;
      if (r.code / 100 == 3 && !r.location.empty()) {
        r.discardBody = true;
        return len;
      }
      if (r.code / 100 != 2) {
        r.abortText = "The server answered " + std::to_string(r.code) +
                      (r.reason.empty() ? "" : " " + r.reason) + " for " + r.url;
        return 0;
      }
      curl_off_t length = -1;
      curl_easy_getinfo(r.easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
      if (length > INT32_MAX) {
        r.abortText = "The file at " + r.url + " is larger than 2 GiB";
        return 0;
      }
      r.total = length > 0 ? length : 0;
      if (!r.contentType.empty()) {
        ReadReport rep;
        rep.StatusCode = status::kMimeTypeAvailable;
        rep.StatusText = r.contentType;
        self.queue(r, CurlTransfer::Pending::kProgress, std::move(rep));
      }
      ReadReport rep;
      rep.StatusCode = status::kBeginDownloadData;
      rep.StatusText = r.url;
      rep.TotalBytes = static_cast<int32_t>(r.total);
      self.queue(r, CurlTransfer::Pending::kProgress, std::move(rep));
      return len;
    }
    if (iequalsPrefix(line, "location:")) r.location = trimmed(line.substr(9));
    if (iequalsPrefix(line, "content-type:")) r.contentType = trimmed(line.substr(13));
    return len;
  }

  static size_t write(char* p, size_t size, size_t n, void* ud) {
    auto& r = *static_cast<CurlTransfer::Read*>(ud);
    const size_t len = size * n;
    r.lastActivity = Clock::now();
    if (r.discardBody) return len;
    if (r.bytes + static_cast<int64_t>(len) > INT32_MAX) {
      r.abortText = "The file at " + r.url + " is larger than 2 GiB";
      return 0;
    }
    if (r.unwritten.capacity() < kWriteBuffer) r.unwritten.reserve(kWriteBuffer);
    if (r.unwritten.size() + len > kWriteBuffer && !flush(r)) return 0;
    if (len >= kWriteBuffer) {
      if (!writeAll(r.fd, p, len)) return writeFailed(r);
    } else {
      r.unwritten.insert(r.unwritten.end(), p, p + len);
    }
    r.bytes += static_cast<int64_t>(len);
    return len;
  }

  static bool flush(CurlTransfer::Read& r) {
    const bool ok = writeAll(r.fd, r.unwritten.data(), r.unwritten.size());
    r.unwritten.clear();
    if (!ok) writeFailed(r);
    return ok;
  }

  static size_t writeFailed(CurlTransfer::Read& r) {
    r.abortText = "Cannot write the received data to " + r.tempPath + ": " + std::strerror(errno);
    return 0;
  }

  // The connection is up and the request about to go out.
  static int prereq(void* ud, char* primaryIp, char*, int, int) {
    auto& r = *static_cast<CurlTransfer::Read*>(ud);
    r.lastActivity = Clock::now();
    ReadReport connecting;
    connecting.StatusCode = status::kConnecting;
    connecting.StatusText = primaryIp ? primaryIp : "";
    r.owner->queue(r, CurlTransfer::Pending::kProgress, std::move(connecting));
    ReadReport sending;
    sending.StatusCode = status::kSendingRequest;
    sending.StatusText = r.url;
    r.owner->queue(r, CurlTransfer::Pending::kProgress, std::move(sending));
    return CURL_PREREQFUNC_OK;
  }
};

CurlTransfer::CurlTransfer(CurlTransferOptions options) : opt_(std::move(options)) {
  globalInit();
  if (opt_.tempFolder.empty()) {
    const char* t = std::getenv("TMPDIR");
    opt_.tempFolder = (t && *t) ? t : "/tmp";
  }
  multi_ = curl_multi_init();
  if (!multi_) throw plat::PlatformError(7, "Out of memory");
}

CurlTransfer::~CurlTransfer() {
  pending_.clear();
  reads_.clear();
  curl_multi_cleanup(static_cast<CURLM*>(multi_));
}

void CurlTransfer::StartRead(const std::string& address, int32_t kind, const std::string& key,
                             int32_t options, ReadSink& sink) {
  if (kind != kReadKindByteArray) {
    throw plat::PlatformError(plat::kErrInvalidProcedureCall,
                              "Only byte-array reads are supported");
  }
  const UrlParts parts = parseUrl(address);
  if (parts.host.empty()) {
    throw plat::PlatformError(plat::kErrInvalidProcedureCall,
                              "Not an http or https address: " + address);
  }
  auto r = std::make_unique<Read>();
  r->owner = this;
  r->id = nextId_++;
  r->key = key;
  r->sink = &sink;
  std::string pattern = opt_.tempFolder + "/dlread-XXXXXX";
  r->fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (r->fd < 0) {
    throw plat::PlatformError(
        plat::kErrPathFileAccess,
        "Cannot create a temporary file in " + opt_.tempFolder + ": " + std::strerror(errno));
  }
  r->tempPath = pattern;
  r->easy = curl_easy_init();
  if (!r->easy) throw plat::PlatformError(7, "Out of memory");
  CURL* e = r->easy;
  curl_easy_setopt(e, CURLOPT_PRIVATE, r.get());
  curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(e, CURLOPT_ERRORBUFFER, r->errbuf);
  curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(e, CURLOPT_BUFFERSIZE, kReceiveBuffer);
  curl_easy_setopt(e, CURLOPT_USERAGENT, "bkDLControl");
  curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &CurlCallbacks::header);
  curl_easy_setopt(e, CURLOPT_HEADERDATA, r.get());
  curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &CurlCallbacks::write);
  curl_easy_setopt(e, CURLOPT_WRITEDATA, r.get());
  curl_easy_setopt(e, CURLOPT_PREREQFUNCTION, &CurlCallbacks::prereq);
  curl_easy_setopt(e, CURLOPT_PREREQDATA, r.get());
  if (!opt_.caFile.empty()) curl_easy_setopt(e, CURLOPT_CAINFO, opt_.caFile.c_str());
  if (options & kReadOptionFreshCopy) {
    r->headers = curl_slist_append(r->headers, "Cache-Control: no-cache");
    r->headers = curl_slist_append(r->headers, "Pragma: no-cache");
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, r->headers);
  }
  Read& read = *r;
  reads_.emplace(read.id, std::move(r));
  try {
    startTransfer(read, address);
  } catch (...) {
    reads_.erase(read.id);
    throw;
  }
  ReadReport finding;
  finding.StatusCode = status::kFindingResource;
  finding.StatusText = parts.host;
  pending_.push_back({read.id, Pending::kProgress, std::move(finding)});
}

void CurlTransfer::startTransfer(Read& r, const std::string& url) {
  r.url = url;
  r.code = 0;
  r.reason.clear();
  r.location.clear();
  r.contentType.clear();
  r.headersDone = false;
  r.discardBody = false;
  r.abortText.clear();
  r.errbuf[0] = '\0';
  r.lastActivity = Clock::now();
  curl_easy_setopt(r.easy, CURLOPT_URL, url.c_str());
  if (curl_multi_add_handle(static_cast<CURLM*>(multi_), r.easy) != CURLM_OK) {
    throw plat::PlatformError(plat::kErrInvalidProcedureCall, "Cannot start the transfer");
  }
  r.inMulti = true;
}

void CurlTransfer::stopTransfer(Read& r) {
  if (r.inMulti) {
    curl_multi_remove_handle(static_cast<CURLM*>(multi_), r.easy);
    r.inMulti = false;
  }
}

void CurlTransfer::CancelRead(const std::string& key) {
  std::vector<uint64_t> ids;
  for (const auto& [id, r] : reads_) {
    if (r->key == key) ids.push_back(id);
  }
  if (ids.empty()) {
    throw plat::PlatformError(plat::kErrInvalidProcedureCall, "No read runs under " + key);
  }
  for (uint64_t id : ids) discard(id);
}

void CurlTransfer::discard(uint64_t id) {
  reads_.erase(id);
}

void CurlTransfer::queue(Read& r, Pending::Kind kind, ReadReport report) {
  pending_.push_back({r.id, kind, std::move(report)});
}

void CurlTransfer::queueProgress(Read& r, bool force) {
  if (!r.headersDone || r.discardBody || r.bytes == r.reportedBytes) return;
  const auto now = Clock::now();
  if (!force && r.reportedBytes >= 0 && now - r.lastReport < opt_.progressInterval) return;
  r.reportedBytes = r.bytes;
  r.lastReport = now;
  queue(r, Pending::kProgress, countReport(r, status::kDownloadingData));
}

// A report of the read's counts; both stay below 2 GiB (larger reads fail).
ReadReport CurlTransfer::countReport(const Read& r, int32_t code) {
  ReadReport rep;
  rep.StatusCode = code;
  rep.StatusText = r.url;
  rep.BytesRead = static_cast<int32_t>(r.bytes);
  rep.TotalBytes = static_cast<int32_t>(r.total);
  return rep;
}

void CurlTransfer::fail(Read& r, const std::string& text) {
  stopTransfer(r);
  r.finished = true;
  ReadReport rep;
  rep.StatusCode = status::kError;
  rep.StatusText = r.url;
  rep.Content.Bytes = text;
  queue(r, Pending::kFinalError, std::move(rep));
}

void CurlTransfer::finish(Read& r, int result) {
  stopTransfer(r);
  if (!r.abortText.empty()) return fail(r, r.abortText);
  if (result != CURLE_OK) {
    const std::string detail =
        r.errbuf[0] ? r.errbuf : curl_easy_strerror(static_cast<CURLcode>(result));
    return fail(r, "The transfer of " + r.url + " failed: " + detail);
  }
  if (r.discardBody) {
    char* next = nullptr;
    curl_easy_getinfo(r.easy, CURLINFO_REDIRECT_URL, &next);
    if (!next || !*next) return fail(r, "The server sent an unusable redirect for " + r.url);
    const std::string target = next;
    if (parseUrl(target).host.empty()) {
      return fail(r, "The server redirected " + r.url + " to an unsupported address: " + target);
    }
    if (++r.redirects > opt_.maxRedirects) {
      return fail(r, "Too many redirects, the last to " + target);
    }
    r.url = target;
    ReadReport rep;
    rep.StatusCode = status::kRedirecting;
    rep.StatusText = target;
    queue(r, Pending::kRedirect, std::move(rep));
    return;
  }
  if (!CurlCallbacks::flush(r)) return fail(r, r.abortText);
  r.unwritten = {};
  queueProgress(r, true);
  queue(r, Pending::kProgress, countReport(r, status::kEndDownloadData));
  ::close(r.fd);
  r.fd = -1;
  r.finished = true;
  ReadReport done = countReport(r, 0);
  done.Content.FilePath = r.tempPath;
  done.Content.Movable = true;
  queue(r, Pending::kComplete, std::move(done));
}

void CurlTransfer::checkStalls() {
  const auto now = Clock::now();
  for (auto& [id, r] : reads_) {
    if (r->inMulti && now - r->lastActivity >= opt_.stallLimit) {
      fail(*r, "No data was received from " + r->url + " for " + secondsText(opt_.stallLimit) +
                   " seconds; the transfer was stopped");
    }
  }
}

void CurlTransfer::pump() {
  auto* m = static_cast<CURLM*>(multi_);
  int running = 0;
  curl_multi_perform(m, &running);
  int left = 0;
  while (CURLMsg* msg = curl_multi_info_read(m, &left)) {
    if (msg->msg != CURLMSG_DONE) continue;
    Read* r = nullptr;
    curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &r);
    const int result = msg->data.result;
    if (r) finish(*r, result);
  }
  checkStalls();
  for (auto& [id, r] : reads_) {
    if (r->inMulti) queueProgress(*r, false);
  }
  deliver();
}

void CurlTransfer::deliver() {
  while (!pending_.empty()) {
    Pending p = std::move(pending_.front());
    pending_.pop_front();
    auto it = reads_.find(p.id);
    if (it == reads_.end()) continue;  // cancelled: its reports are dropped
    ReadSink* sink = it->second->sink;
    try {
      if (p.kind == Pending::kComplete) {
        sink->OnReadComplete(p.report);
      } else {
        sink->OnReadProgress(p.report);
      }
    } catch (...) {
      // A sink's failure is its own; the transfer's bookkeeping goes on.
    }
    it = reads_.find(p.id);
    if (it == reads_.end()) continue;
    Read& r = *it->second;
    if (p.kind == Pending::kComplete || p.kind == Pending::kFinalError) {
      discard(p.id);
    } else if (p.kind == Pending::kRedirect) {
      try {
        startTransfer(r, r.url);
      } catch (const plat::PlatformError& e) {
        fail(r, e.description());
      }
    }
  }
}

void CurlTransfer::wait(std::chrono::milliseconds limit) {
  if (!pending_.empty()) return;
  auto timeout = limit;
  const auto now = Clock::now();
  for (const auto& [id, r] : reads_) {
    if (!r->inMulti) continue;
    auto stall = std::chrono::duration_cast<std::chrono::milliseconds>(r->lastActivity +
                                                                       opt_.stallLimit - now);
    timeout = std::min(timeout, stall);
    if (r->headersDone && r->bytes != r->reportedBytes) {
      auto prog = std::chrono::duration_cast<std::chrono::milliseconds>(
          r->lastReport + opt_.progressInterval - now);
      timeout = std::min(timeout, prog);
    }
  }
  if (timeout.count() <= 0) return;
  curl_multi_poll(static_cast<CURLM*>(multi_), nullptr, 0, static_cast<int>(timeout.count()),
                  nullptr);
}

void CurlTransfer::wakeup() {
  curl_multi_wakeup(static_cast<CURLM*>(multi_));
}

}  // namespace dl
