#pragma once
// The control's transfer service on Linux, over libcurl's multi interface.
//
// Threads: none of its own. The transfers run inside pump(), called from the
// host thread's loop (PosixControlPlatform does this), and every report is
// delivered from there, after libcurl has returned, so a sink may start and
// cancel reads from its handlers. Only wakeup() may be called from another
// thread.
//
// Content is streamed to a temporary file (one per read, in tempFolder) and
// handed over by name in the completion report; it is removed once the
// report has been delivered or the read is cancelled. Memory stays bounded
// whatever the size of the file.
//
// Redirects are followed one step at a time: the service reports status 3
// with the new absolute location and requests it only after the sink has
// seen that report and not cancelled the read.
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>

#include "dlcontrol/engine.h"

namespace dl {

struct CurlTransferOptions {
  // CA certificates (PEM) that HTTPS servers are verified against; empty: the
  // system's store. Verification is never switched off.
  std::string caFile;
  // Folder for the content files; empty: $TMPDIR, else /tmp.
  std::string tempFolder;
  // A read that receives nothing for this long ends with an error report.
  std::chrono::milliseconds stallLimit{60000};
  // Progress reports (status 5) are sent at most this often, plus the last.
  std::chrono::milliseconds progressInterval{50};
  int maxRedirects = 20;
};

class CurlTransfer final : public TransferService {
 public:
  explicit CurlTransfer(CurlTransferOptions options = {});
  ~CurlTransfer() override;
  CurlTransfer(const CurlTransfer&) = delete;
  CurlTransfer& operator=(const CurlTransfer&) = delete;

  // Kind must be kReadKindByteArray. Throws plat::PlatformError when the
  // address is not an http or https URL or the content file cannot be made.
  void StartRead(const std::string& address, int32_t kind, const std::string& key, int32_t options,
                 ReadSink& sink) override;
  void CancelRead(const std::string& key) override;

  // Moves the transfers on and delivers the reports that are due; returns
  // without sleeping.
  void pump();
  // Sleeps until a transfer has something to do, a report is due, wakeup() is
  // called, or `limit` has passed.
  void wait(std::chrono::milliseconds limit);
  // Ends a wait() early; callable from any thread.
  void wakeup();
  // Reads started and not yet finished (their last report not yet delivered).
  size_t activeReads() const { return reads_.size(); }

 private:
  struct Read;
  struct Pending {
    uint64_t id;
    enum Kind { kProgress, kComplete, kRedirect, kFinalError } kind;
    ReadReport report;
  };
  friend struct CurlCallbacks;

  void queue(Read& r, Pending::Kind kind, ReadReport report);
  void queueProgress(Read& r, bool force);
  static ReadReport countReport(const Read& r, int32_t code);
  void finish(Read& r, int code);
  void fail(Read& r, const std::string& text);
  void startTransfer(Read& r, const std::string& url);
  void stopTransfer(Read& r);
  void checkStalls();
  void deliver();
  void discard(uint64_t id);

  CurlTransferOptions opt_;
  void* multi_ = nullptr;  // CURLM*
  uint64_t nextId_ = 1;
  std::map<uint64_t, std::unique_ptr<Read>> reads_;
  std::deque<Pending> pending_;
};

}  // namespace dl
