#pragma once
// The control's transfer service on Windows over WinINet. Each read runs its
// blocking WinINet calls on a worker thread of its own; the worker never
// calls the control: it posts its reports to a hidden message-only window of
// the thread that created the service, so every report reaches the sink on
// that (the control's window) thread, through its message loop.
//
// Why not URLMon: under Wine its HTTP protocol hands the data over in pieces
// of at most 8 KiB, each costing a few server round trips, which caps a
// download at a small fraction of what the connection carries. Reading the
// response directly in large blocks does not have that limit.
//
// The received bytes go to a temporary file as they arrive; the completion
// report names that file and gives it up (the control may move it into
// place); a file left behind is deleted once the report returns.
// Call every member on the thread that created the service.
#include <windows.h>
#include <objbase.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "dlcontrol/engine.h"

namespace lumvex {

class WininetTransfer final : public dl::TransferService {
 public:
  // A read that receives nothing for stallMilliseconds ends with an error
  // report. keepAlive (optional, not owned) is referenced while a report is
  // being delivered, so that a host releasing the control from an event
  // handler does not pull the sink away under the running report.
  explicit WininetTransfer(IUnknown* keepAlive = nullptr, unsigned stallMilliseconds = 60000);
  ~WininetTransfer() override;
  WininetTransfer(const WininetTransfer&) = delete;
  WininetTransfer& operator=(const WininetTransfer&) = delete;

  void StartRead(const std::string& address, int32_t kind, const std::string& key, int32_t options,
                 dl::ReadSink& sink) override;
  void CancelRead(const std::string& key) override;

  // 60 s, unless the environment variable LUMVEX_STALL_MS names another
  // limit in milliseconds (so that tests of the stall watch run quickly).
  static unsigned defaultStallMilliseconds();

  // Stops every read without further reports (teardown).
  void cancelAll();
  size_t runningReads() const { return reads_.size(); }

  struct Job;  // what a read shares with its worker thread

 private:
  struct Read {
    uint64_t id;
    std::string key;
    dl::ReadSink* sink;
    std::shared_ptr<Job> job;
    int32_t total = 0;
    int64_t shown = 0;   // the count of the last data report
    bool ended = false;  // the end of the data was reported
  };

  void drop(size_t index);  // unlists a read and lets its worker go
  void onReport(LPARAM message);
  bool checkStalls();  // true when it reported a stall
  void reportData(Read& read);
  void reportArrivals();
  void deliver(dl::ReadSink* sink, const dl::ReadReport& report, bool complete);
  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  IUnknown* keepAlive_;
  unsigned stallMilliseconds_;
  HWND window_ = nullptr;  // message-only: reports and the stall watch
  uint64_t nextId_ = 1;
  std::vector<Read> reads_;
};

}  // namespace lumvex
