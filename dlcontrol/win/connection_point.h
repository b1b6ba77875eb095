#pragma once
// The control's connection points: the event interface and property-change
// notifications, each holding the sinks advised to it. The event raiser
// turns the engine's events into IDispatch calls on every event sink.
#include <ocidl.h>
#include <ole2.h>
#include <olectl.h>

#include <string>
#include <vector>

#include "dlcontrol/engine.h"
#include "dlcontrol/win/com_ptr.h"

namespace lumvex {

// One connection point whose life is its control's: AddRef and Release go
// to the control, so a sink that holds the point keeps the control alive.
class ConnectionPoint final : public IConnectionPoint {
 public:
  ConnectionPoint(IConnectionPointContainer& owner, REFIID iid) : owner_(owner), iid_(iid) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IConnectionPoint)) {
      *out = static_cast<IConnectionPoint*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return owner_.AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return owner_.Release(); }

  HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID* iid) override {
    if (!iid) return E_POINTER;
    *iid = iid_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer** out) override {
    if (!out) return E_POINTER;
    *out = &owner_;
    owner_.AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Advise(IUnknown* sink, DWORD* cookie) override {
    if (!sink || !cookie) return E_POINTER;
    *cookie = 0;
    ComPtr<IUnknown> held;
    // Event sinks answer to the event interface's id or at least IDispatch.
    if (FAILED(sink->QueryInterface(iid_, held.putVoid())) || !held) {
      if (IsEqualIID(iid_, IID_IPropertyNotifySink) ||
          FAILED(sink->QueryInterface(IID_IDispatch, held.putVoid())))
        return CONNECT_E_CANNOTCONNECT;
    }
    try {
      sinks_.push_back(Sink{nextCookie_, std::move(held)});
    } catch (...) {
      return E_OUTOFMEMORY;
    }
    *cookie = nextCookie_++;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
    for (auto it = sinks_.begin(); it != sinks_.end(); ++it) {
      if (it->cookie == cookie) {
        ComPtr<IUnknown> dropped = std::move(it->sink);  // released after the list is consistent
        sinks_.erase(it);
        return S_OK;
      }
    }
    return CONNECT_E_NOCONNECTION;
  }
  HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }

  // The sinks of this moment: a handler may advise or unadvise while an
  // event is being delivered.
  template <typename T>
  std::vector<ComPtr<T>> snapshot(REFIID iid) const {
    std::vector<ComPtr<T>> out;
    for (const Sink& s : sinks_) {
      ComPtr<T> p = s.sink.template query<T>(iid);
      if (p) out.push_back(std::move(p));
    }
    return out;
  }
  void clear() {
    std::vector<Sink> dropped;
    dropped.swap(sinks_);
  }

 private:
  struct Sink {
    DWORD cookie;
    ComPtr<IUnknown> sink;
  };
  IConnectionPointContainer& owner_;
  IID iid_;
  std::vector<Sink> sinks_;
  DWORD nextCookie_ = 1;
};

// The engine's events, raised through the event connection point.
class EventRaiser final : public dl::ControlEvents {
 public:
  explicit EventRaiser(ConnectionPoint& point) : point_(point) {}

  void Click() override { fire(1, {}); }
  void DblClick() override { fire(2, {}); }
  void MouseDown(int16_t b, int16_t s, float x, float y) override { mouse(3, b, s, x, y); }
  void MouseMove(int16_t b, int16_t s, float x, float y) override { mouse(4, b, s, x, y); }
  void MouseUp(int16_t b, int16_t s, float x, float y) override { mouse(5, b, s, x, y); }
  void DLProgress(float percent, int32_t bytesRead, int32_t totalBytes) override;
  void DLCanceled() override { fire(7, {}); }
  void DLError(dl::bkDLError code, std::string text) override;
  void DLComplete(int32_t bytes) override { fire(9, {longArg(bytes)}); }
  void DLConnected(std::string address) override { fire(10, {stringArg(address)}); }
  void DLRedirect(std::string address) override { fire(11, {stringArg(address)}); }
  void DLCacheFile(std::string name) override { fire(12, {stringArg(name)}); }
  void DLMIMEType(std::string type) override { fire(13, {stringArg(type)}); }
  void DLFileSize(int32_t bytes) override { fire(14, {longArg(bytes)}); }
  void DLBeginDownload() override { fire(15, {}); }

 private:
  static VARIANT longArg(int32_t value);
  static VARIANT stringArg(const std::string& value);
  void mouse(DISPID id, int16_t button, int16_t shift, float x, float y);
  void fire(DISPID id, std::vector<VARIANT> args);

  ConnectionPoint& point_;
};

}  // namespace lumvex
