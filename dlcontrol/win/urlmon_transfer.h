#pragma once
// The control's transfer service on Windows: asynchronous URLMon binding to
// an IStream. URLMon calls back on the thread that started the read, through
// that thread's message loop, so the reports reach the control on its window
// thread and nothing is locked.
//
// The received bytes go to a temporary file as they arrive; the completion
// report names that file, which is deleted as soon as the report returns.
// Call every member on the thread that created the service.
#include <windows.h>
#include <objbase.h>

#include <string>
#include <vector>

#include "dlcontrol/engine.h"

namespace lumvex {

class UrlRead;

class UrlmonTransfer final : public dl::TransferService {
 public:
  // A read that gets no callback at all from URLMon for stallMilliseconds is
  // aborted and ends with an error report.
  // keepAlive (optional, not owned) is referenced while a report is being
  // delivered, so that a host releasing the control from an event handler
  // does not pull the sink away under the running report.
  explicit UrlmonTransfer(IUnknown* keepAlive = nullptr, unsigned stallMilliseconds = 60000);
  ~UrlmonTransfer() override;
  UrlmonTransfer(const UrlmonTransfer&) = delete;
  UrlmonTransfer& operator=(const UrlmonTransfer&) = delete;

  void StartRead(const std::string& address, int32_t kind, const std::string& key, int32_t options,
                 dl::ReadSink& sink) override;
  void CancelRead(const std::string& key) override;

  // Stops every read without further reports (teardown).
  void cancelAll();
  size_t runningReads() const { return reads_.size(); }

 private:
  friend class UrlRead;
  void finished(UrlRead* read);
  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  IUnknown* keepAlive_;
  unsigned stallMilliseconds_;
  HWND window_ = nullptr;  // message-only: the stall watch and deferred reports
  std::vector<UrlRead*> reads_;  // each holds a reference while listed
};

// Text for an HRESULT of URLMon or the system: "description (0x........)".
std::string describeError(HRESULT hr);

}  // namespace lumvex
