#include "dlcontrol/win/lumvex_host.h"

#include <olectl.h>

#include <new>
#include <vector>

#include "dlcontrol/win/Lumvex_h.h"
#include "dlcontrol/win/win_text.h"

namespace lumvex {
namespace {

using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using AttachControlFn = HRESULT(WINAPI*)(IUnknown*, HWND, IUnknown**);
using AxWinInitFn = BOOL(WINAPI*)();

// Argument i of an event in declaration order (IDispatch gives them last first).
const VARIANT* arg(const DISPPARAMS* p, UINT i) {
  if (!p || i >= p->cArgs) return nullptr;
  return &p->rgvarg[p->cArgs - 1 - i];
}

template <typename T>
T number(const DISPPARAMS* p, UINT i, VARTYPE type) {
  const VARIANT* a = arg(p, i);
  if (!a) return T{};
  VARIANT v;
  VariantInit(&v);
  T out{};
  if (SUCCEEDED(VariantChangeType(&v, const_cast<VARIANT*>(a), 0, type))) {
    switch (type) {
      case VT_I2:
        out = static_cast<T>(V_I2(&v));
        break;
      case VT_I4:
        out = static_cast<T>(V_I4(&v));
        break;
      case VT_R4:
        out = static_cast<T>(V_R4(&v));
        break;
      default:
        break;
    }
  }
  VariantClear(&v);
  return out;
}

std::string text(const DISPPARAMS* p, UINT i) {
  const VARIANT* a = arg(p, i);
  if (!a) return {};
  VARIANT v;
  VariantInit(&v);
  std::string out;
  if (SUCCEEDED(VariantChangeType(&v, const_cast<VARIANT*>(a), 0, VT_BSTR)))
    out = fromBstr(V_BSTR(&v));
  VariantClear(&v);
  return out;
}

class Sink final : public IDispatch {
 public:
  explicit Sink(dl::ControlEvents& handler) : handler_(handler) {}
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
        IsEqualIID(iid, DIID___bkDLControl)) {
      *out = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs_); }
  ULONG STDMETHODCALLTYPE Release() override {
    LONG n = --refs_;
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* n) override {
    if (n) *n = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*,
                                   EXCEPINFO*, UINT*) override {
    if (!live_) return S_OK;
    try {
      dispatch(id, p);
    } catch (...) {
      // A host's handler must not unwind into the control.
    }
    return S_OK;
  }
  void cut() { live_ = false; }

 private:
  void dispatch(DISPID id, const DISPPARAMS* p) {
    switch (id) {
      case 1:
        handler_.Click();
        break;
      case 2:
        handler_.DblClick();
        break;
      case 3:
      case 4:
      case 5: {
        auto b = number<int16_t>(p, 0, VT_I2), s = number<int16_t>(p, 1, VT_I2);
        auto x = number<float>(p, 2, VT_R4), y = number<float>(p, 3, VT_R4);
        if (id == 3)
          handler_.MouseDown(b, s, x, y);
        else if (id == 4)
          handler_.MouseMove(b, s, x, y);
        else
          handler_.MouseUp(b, s, x, y);
        break;
      }
      case 6:
        handler_.DLProgress(number<float>(p, 0, VT_R4), number<int32_t>(p, 1, VT_I4),
                            number<int32_t>(p, 2, VT_I4));
        break;
      case 7:
        handler_.DLCanceled();
        break;
      case 8:
        handler_.DLError(static_cast<dl::bkDLError>(number<int32_t>(p, 0, VT_I4)), text(p, 1));
        break;
      case 9:
        handler_.DLComplete(number<int32_t>(p, 0, VT_I4));
        break;
      case 10:
        handler_.DLConnected(text(p, 0));
        break;
      case 11:
        handler_.DLRedirect(text(p, 0));
        break;
      case 12:
        handler_.DLCacheFile(text(p, 0));
        break;
      case 13:
        handler_.DLMIMEType(text(p, 0));
        break;
      case 14:
        handler_.DLFileSize(number<int32_t>(p, 0, VT_I4));
        break;
      case 15:
        handler_.DLBeginDownload();
        break;
      default:
        break;
    }
  }
  LONG refs_ = 1;
  bool live_ = true;
  dl::ControlEvents& handler_;
};

HRESULT invoke(IDispatch* control, DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
               std::wstring* error) {
  if (!control) return E_POINTER;
  EXCEPINFO excep = {};
  UINT argErr = 0;
  HRESULT hr =
      control->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, params, result, &excep, &argErr);
  if (hr == DISP_E_EXCEPTION) {
    if (excep.pfnDeferredFillIn) excep.pfnDeferredFillIn(&excep);
    if (error && excep.bstrDescription)
      *error = std::wstring(excep.bstrDescription, SysStringLen(excep.bstrDescription));
    if (FAILED(excep.scode)) hr = excep.scode;
  }
  SysFreeString(excep.bstrSource);
  SysFreeString(excep.bstrDescription);
  SysFreeString(excep.bstrHelpFile);
  return hr;
}

}  // namespace

HRESULT createControlFromFile(const std::wstring& ocxPath, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  HMODULE library = LoadLibraryExW(ocxPath.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (!library) return HRESULT_FROM_WIN32(GetLastError());
  auto getClassObject = reinterpret_cast<GetClassObjectFn>(
      reinterpret_cast<void*>(GetProcAddress(library, "DllGetClassObject")));
  if (!getClassObject) return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
  ComPtr<IClassFactory> factory;
  HRESULT hr = getClassObject(CLSID_bkDLControl, IID_IClassFactory, factory.putVoid());
  if (FAILED(hr)) return hr;
  return factory->CreateInstance(nullptr, iid, out);
}

std::wstring controlBesideProgram() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  size_t slash = path.find_last_of(L"\\/");
  return (slash == std::wstring::npos ? std::wstring() : path.substr(0, slash)) + L"\\Lumvex.ocx";
}

HRESULT createBorderlessControl(const wchar_t* fontFace, int fontPoints, IDispatch** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  ComPtr<IDispatch> control;
  HRESULT hr = createControlFromFile(controlBesideProgram(), IID_IDispatch, control.putVoid());
  if (FAILED(hr)) return hr;
  ComPtr<IPersistStreamInit> persist = control.query<IPersistStreamInit>(IID_IPersistStreamInit);
  hr = persist ? persist->InitNew() : E_NOINTERFACE;
  if (FAILED(hr)) return hr;
  VARIANT border;
  VariantInit(&border);
  V_VT(&border) = VT_I2;
  V_I2(&border) = 0;
  putProperty(control.get(), dispid::kBorderStyle, border);
  FONTDESC desc{sizeof(FONTDESC),
                const_cast<LPOLESTR>(fontFace),
                {},
                FW_NORMAL,
                GB2312_CHARSET,
                FALSE,
                FALSE,
                FALSE};
  desc.cySize.int64 = static_cast<LONGLONG>(fontPoints) * 10000;
  ComPtr<IFontDisp> font;
  if (SUCCEEDED(OleCreateFontIndirect(&desc, IID_IFontDisp, font.putVoid()))) {
    VARIANT arg;
    VariantInit(&arg);
    V_VT(&arg) = VT_DISPATCH;
    V_DISPATCH(&arg) = font.get();
    putProperty(control.get(), dispid::kFont, arg);
  }
  *out = control.detach();
  return S_OK;
}

HRESULT attachToWindow(IUnknown* control, HWND window, IUnknown** container) {
  if (container) *container = nullptr;
  HMODULE atl = LoadLibraryW(L"atl.dll");
  if (!atl) return HRESULT_FROM_WIN32(GetLastError());
  auto init =
      reinterpret_cast<AxWinInitFn>(reinterpret_cast<void*>(GetProcAddress(atl, "AtlAxWinInit")));
  auto attach = reinterpret_cast<AttachControlFn>(
      reinterpret_cast<void*>(GetProcAddress(atl, "AtlAxAttachControl")));
  if (!init || !attach) return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
  init();
  return attach(control, window, container);
}

HRESULT EventConnection::connect(IUnknown* control, dl::ControlEvents& handler) {
  disconnect();
  if (!control) return E_POINTER;
  ComPtr<IConnectionPointContainer> cpc;
  HRESULT hr = control->QueryInterface(IID_IConnectionPointContainer, cpc.putVoid());
  if (FAILED(hr)) return hr;
  ComPtr<IConnectionPoint> point;
  hr = cpc->FindConnectionPoint(DIID___bkDLControl, point.put());
  if (FAILED(hr)) return hr;
  auto* sink = new (std::nothrow) Sink(handler);
  if (!sink) return E_OUTOFMEMORY;
  ComPtr<IDispatch> held = ComPtr<IDispatch>::attach(sink);
  DWORD cookie = 0;
  hr = point->Advise(held.get(), &cookie);
  if (FAILED(hr)) return hr;
  point_ = std::move(point);
  sink_ = std::move(held);
  cookie_ = cookie;
  return S_OK;
}

void EventConnection::disconnect() {
  if (sink_) static_cast<Sink*>(sink_.get())->cut();
  if (point_) point_->Unadvise(cookie_);
  point_.reset();
  sink_.reset();
  cookie_ = 0;
}

HRESULT putProperty(IDispatch* control, DISPID id, const VARIANT& value, std::wstring* error) {
  VARIANT v = value;
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params = {&v, &named, 1, 1};
  WORD flags = (V_VT(&value) == VT_DISPATCH || V_VT(&value) == VT_UNKNOWN) ? DISPATCH_PROPERTYPUTREF
                                                                           : DISPATCH_PROPERTYPUT;
  return invoke(control, id, flags, &params, nullptr, error);
}

HRESULT getProperty(IDispatch* control, DISPID id, VARIANT* value, std::wstring* error) {
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  return invoke(control, id, DISPATCH_PROPERTYGET, &none, value, error);
}

HRESULT putString(IDispatch* control, DISPID id, const std::wstring& value, std::wstring* error) {
  Bstr text(value);
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = text.get();
  return putProperty(control, id, v, error);
}

HRESULT getString(IDispatch* control, DISPID id, std::wstring& value) {
  Variant v;
  HRESULT hr = getProperty(control, id, v.get());
  if (FAILED(hr)) return hr;
  hr = VariantChangeType(v.get(), v.get(), 0, VT_BSTR);
  if (FAILED(hr)) return hr;
  value.assign(V_BSTR(v.get()) ? V_BSTR(v.get()) : L"", SysStringLen(V_BSTR(v.get())));
  return S_OK;
}

HRESULT callMethod(IDispatch* control, DISPID id, VARIANT* args, UINT count, VARIANT* result,
                   std::wstring* error) {
  DISPPARAMS params = {args, nullptr, count, 0};
  return invoke(control, id, DISPATCH_METHOD, &params, result, error);
}

HRESULT beginDownload(IDispatch* control, bool& started) {
  Variant result;
  HRESULT hr = callMethod(control, dispid::kBeginDownload, nullptr, 0, result.get());
  started = SUCCEEDED(hr) && V_VT(result.get()) == VT_BOOL && V_BOOL(result.get()) != VARIANT_FALSE;
  return hr;
}

HRESULT beginDownload(IDispatch* control, bool wait, bool& started) {
  VARIANT arg;
  VariantInit(&arg);
  V_VT(&arg) = VT_BOOL;
  V_BOOL(&arg) = wait ? VARIANT_TRUE : VARIANT_FALSE;
  Variant result;
  HRESULT hr = callMethod(control, dispid::kBeginDownload, &arg, 1, result.get());
  started = SUCCEEDED(hr) && V_VT(result.get()) == VT_BOOL && V_BOOL(result.get()) != VARIANT_FALSE;
  return hr;
}

}  // namespace lumvex
