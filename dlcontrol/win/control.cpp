// bkDLControl as an ActiveX control: the engine (dlcontrol/engine.h) behind
// a dual interface described by the type library, events through a
// connection point, persistence through property bags and streams, and a
// child window of the container that shows the progress bar.
//
// No exception leaves a COM method or the window procedure: engine failures
// become HRESULTs with error information.
#include "dlcontrol/win/control.h"

#include <ole2.h>
#include <olectl.h>
#include <windowsx.h>

#include <cmath>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "dlcontrol/engine.h"
#include "dlcontrol/win/Lumvex_h.h"
#include "dlcontrol/win/com_ptr.h"
#include "dlcontrol/win/connection_point.h"
#include "dlcontrol/win/control_platform.h"
#include "dlcontrol/win/gdi_surface.h"
#include "dlcontrol/win/module.h"
#include "dlcontrol/win/persist_stores.h"
#include "dlcontrol/win/win_font.h"
#include "dlcontrol/win/win_text.h"
#include "dlcontrol/win/wininet_transfer.h"
#include "platform/error.h"
#include "platform/win/gdi.h"

namespace lumvex {
namespace {

constexpr wchar_t kWindowClass[] = L"LumvexControlWindow";
constexpr DWORD kMiscStatus = OLEMISC_RECOMPOSEONRESIZE | OLEMISC_CANTLINKINSIDE |
                              OLEMISC_INSIDEOUT | OLEMISC_ACTIVATEWHENVISIBLE |
                              OLEMISC_SETCLIENTSITEFIRST;
// A new control's size before the container gives one: 120 x 20 pixels.
constexpr LONG kDefaultWidthHimetric = 3175;
constexpr LONG kDefaultHeightHimetric = 529;

// Dispatch ids of the properties whose changes the container hears about.
DISPID dispidOf(const std::string& name) {
  static const std::map<std::string, DISPID> ids = {
      {"BackColor", 0x68030010},        {"ForeColor", 0x6803000F},
      {"Enabled", 0x6803000E},          {"Font", 0x6803000D},
      {"BorderStyle", 0x6803000C},      {"FileURL", 0x68030005},
      {"SaveFilePath", 0x68030003},     {"FailOnRedirect", 0x68030002},
      {"RenameOnRedirect", 0x68030001}, {"ShowProgress", 0x68030000},
  };
  auto it = ids.find(name);
  return it == ids.end() ? DISPID_UNKNOWN : it->second;
}

VARIANT_BOOL vb(bool value) {
  return value ? VARIANT_TRUE : VARIANT_FALSE;
}

// Records the failure as the thread's error information (what a scripting
// host shows) and gives the HRESULT to return. Error numbers of the
// control's own numbering (small positive values) become FACILITY_CONTROL
// codes, as automation clients expect; others are HRESULTs already.
HRESULT failWith(long number, const std::string& description) {
  HRESULT hr = (number > 0 && number < 0x10000)
                   ? MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, number)
                   : static_cast<HRESULT>(number);
  if (SUCCEEDED(hr)) hr = E_FAIL;
  ComPtr<ICreateErrorInfo> create;
  if (SUCCEEDED(CreateErrorInfo(create.put()))) {
    create->SetGUID(IID__bkDLControl);
    create->SetSource(const_cast<LPOLESTR>(L"Lumvex.bkDLControl"));
    std::wstring text = widen(description);
    create->SetDescription(text.data());
    ComPtr<IErrorInfo> info = create.query<IErrorInfo>(IID_IErrorInfo);
    if (info) SetErrorInfo(0, info.get());
  }
  return hr;
}

template <typename F>
HRESULT guarded(F&& body) {
  try {
    body();
    return S_OK;
  } catch (const plat::PlatformError& e) {
    return failWith(e.number(), e.description());
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (const std::exception& e) {
    return failWith(E_FAIL, e.what());
  } catch (...) {
    return E_UNEXPECTED;
  }
}

template <typename Get>
HRESULT outString(BSTR* out, Get get) {
  if (!out) return E_POINTER;
  *out = nullptr;
  try {
    std::string value = get();
    *out = Bstr(value).detach();
    return (*out || value.empty()) ? S_OK : E_OUTOFMEMORY;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

class Control;

class ContainerLink final : public dl::Container {
 public:
  explicit ContainerLink(Control& control) : control_(control) {}
  void propertyChanged(const std::string& name) override;
  dl::FontPtr ambientFont() override;

 private:
  Control& control_;
};

class Control final : public _bkDLControl,
                      public IConnectionPointContainer,
                      public IProvideClassInfo2,
                      public IPersistStreamInit,
                      public IPersistPropertyBag,
                      public IOleObject,
                      public IOleInPlaceObject,
                      public IOleInPlaceActiveObject,
                      public IViewObject2,
                      public IOleControl,
                      public ISupportErrorInfo,
                      public SurfaceOwner {
 public:
  Control()
      : events_(*this, DIID___bkDLControl),
        propertyNotify_(*this, IID_IPropertyNotifySink),
        surface_(*this),
        container_(*this),
        platform_(*this),
        raiser_(events_),
        transfer_(static_cast<_bkDLControl*>(this), WininetTransfer::defaultStallMilliseconds()) {
    extent_.cx = kDefaultWidthHimetric;
    extent_.cy = kDefaultHeightHimetric;
    ComPtr<ITypeLib> lib;
    if (SUCCEEDED(LoadTypeLibEx(modulePath().c_str(), REGKIND_NONE, lib.put())) && lib) {
      lib->GetTypeInfoOfGuid(IID__bkDLControl, typeInfo_.put());
      lib->GetTypeInfoOfGuid(CLSID_bkDLControl, classInfo_.put());
    }
    engine_ = std::make_unique<dl::bkDLControl>(
        dl::ControlServices{transfer_, surface_, container_, platform_, raiser_});
  }

  ~Control() {
    // Teardown: a running read is cancelled without any event.
    try {
      if (engine_) engine_->Terminate();
    } catch (...) {
    }
    destroyWindow();
    engine_.reset();
    transfer_.cancelAll();
  }

  bool ready() const { return typeInfo_ && classInfo_; }
  HWND window() const override { return window_; }
  SIZEL extentPixels() const override {
    const int dpi = plat::win::screenDpi();
    return SIZEL{MulDiv(extent_.cx, dpi, 2540), MulDiv(extent_.cy, dpi, 2540)};
  }
  void paintContent() override { engine_->Paint(); }
  dl::bkDLControl& engine() { return *engine_; }
  IOleClientSite* site() const { return site_.get(); }

  void markDirty(const std::string& name) {
    dirty_ = true;
    DISPID id = dispidOf(name);
    for (const ComPtr<IPropertyNotifySink>& sink :
         propertyNotify_.snapshot<IPropertyNotifySink>(IID_IPropertyNotifySink))
      sink->OnChanged(id);
  }

  // Repaint requested by the engine.
  void requestRepaint() override {
    if (window_) {
      InvalidateRect(window_, nullptr, FALSE);
      UpdateWindow(window_);
    } else if (viewSink_) {
      viewSink_->OnViewChange(DVASPECT_CONTENT, -1);
    }
  }

  // ---- IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) ||
        IsEqualIID(iid, IID__bkDLControl))
      *out = static_cast<_bkDLControl*>(this);
    else if (IsEqualIID(iid, IID_IConnectionPointContainer))
      *out = static_cast<IConnectionPointContainer*>(this);
    else if (IsEqualIID(iid, IID_IProvideClassInfo) || IsEqualIID(iid, IID_IProvideClassInfo2))
      *out = static_cast<IProvideClassInfo2*>(this);
    else if (IsEqualIID(iid, IID_IPersistStreamInit))
      *out = static_cast<IPersistStreamInit*>(this);
    else if (IsEqualIID(iid, IID_IPersist))
      *out = static_cast<IPersistStreamInit*>(this);
    else if (IsEqualIID(iid, IID_IPersistPropertyBag))
      *out = static_cast<IPersistPropertyBag*>(this);
    else if (IsEqualIID(iid, IID_IOleObject))
      *out = static_cast<IOleObject*>(this);
    else if (IsEqualIID(iid, IID_IOleInPlaceObject) || IsEqualIID(iid, IID_IOleWindow))
      *out = static_cast<IOleInPlaceObject*>(this);
    else if (IsEqualIID(iid, IID_IOleInPlaceActiveObject))
      *out = static_cast<IOleInPlaceActiveObject*>(this);
    else if (IsEqualIID(iid, IID_IViewObject) || IsEqualIID(iid, IID_IViewObject2))
      *out = static_cast<IViewObject2*>(this);
    else if (IsEqualIID(iid, IID_IOleControl))
      *out = static_cast<IOleControl*>(this);
    else if (IsEqualIID(iid, IID_ISupportErrorInfo))
      *out = static_cast<ISupportErrorInfo*>(this);
    else
      return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    return static_cast<ULONG>(InterlockedIncrement(&refs_));
  }
  ULONG STDMETHODCALLTYPE Release() override {
    LONG n = InterlockedDecrement(&refs_);
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
  }

  // ---- IDispatch, through the type library
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID, ITypeInfo** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    *out = typeInfo_.copy().detach();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    return DispGetIDsOfNames(typeInfo_.get(), names, count, ids);
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* excep, UINT* argErr) override {
    ComPtr<IUnknown> alive = ComPtr<IUnknown>::share(static_cast<_bkDLControl*>(this));
    return DispInvoke(static_cast<_bkDLControl*>(this), typeInfo_.get(), id, flags, params, result,
                      excep, argErr);
  }

  // ---- _bkDLControl
  HRESULT STDMETHODCALLTYPE get_BackColor(OLE_COLOR* v) override {
    if (!v) return E_POINTER;
    return guarded([&] { *v = engine_->getBackColor(); });
  }
  HRESULT STDMETHODCALLTYPE put_BackColor(OLE_COLOR v) override {
    return guarded([&] { engine_->putBackColor(v); });
  }
  HRESULT STDMETHODCALLTYPE get_ForeColor(OLE_COLOR* v) override {
    if (!v) return E_POINTER;
    return guarded([&] { *v = engine_->getForeColor(); });
  }
  HRESULT STDMETHODCALLTYPE put_ForeColor(OLE_COLOR v) override {
    return guarded([&] { engine_->putForeColor(v); });
  }
  HRESULT STDMETHODCALLTYPE get_Enabled(VARIANT_BOOL* v) override {
    if (!v) return E_POINTER;
    return guarded([&] { *v = vb(engine_->getEnabled()); });
  }
  HRESULT STDMETHODCALLTYPE put_Enabled(VARIANT_BOOL v) override {
    return guarded([&] { engine_->putEnabled(v != VARIANT_FALSE); });
  }
  HRESULT STDMETHODCALLTYPE get_Font(IFontDisp** v) override {
    if (!v) return E_POINTER;
    *v = nullptr;
    return guarded([&] { *v = fontDispOf(engine_->getFont()).detach(); });
  }
  HRESULT STDMETHODCALLTYPE putref_Font(IFontDisp* v) override {
    if (!v) return failWith(380, "Invalid property value");
    return guarded([&] { engine_->putFont(wrapFont(ComPtr<IFontDisp>::share(v))); });
  }
  HRESULT STDMETHODCALLTYPE get_BorderStyle(short* v) override {
    if (!v) return E_POINTER;
    return guarded([&] { *v = engine_->getBorderStyle(); });
  }
  HRESULT STDMETHODCALLTYPE put_BorderStyle(short v) override {
    return guarded([&] { engine_->putBorderStyle(v); });
  }
  HRESULT STDMETHODCALLTYPE get_BytesRead(LONG* v) override {
    if (!v) return E_POINTER;
    *v = engine_->getBytesRead();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_CacheFile(BSTR* v) override {
    return outString(v, [&] { return engine_->getCacheFile(); });
  }
  HRESULT STDMETHODCALLTYPE get_ConnectionAddress(BSTR* v) override {
    return outString(v, [&] { return engine_->getConnectionAddress(); });
  }
  HRESULT STDMETHODCALLTYPE get_MIMEType(BSTR* v) override {
    return outString(v, [&] { return engine_->getMIMEType(); });
  }
  HRESULT STDMETHODCALLTYPE get_RedirectFile(BSTR* v) override {
    return outString(v, [&] { return engine_->getRedirectFile(); });
  }
  HRESULT STDMETHODCALLTYPE Refresh() override {
    return guarded([&] { engine_->Refresh(); });
  }
  HRESULT STDMETHODCALLTYPE get_FileSize(VARIANT* v) override {
    if (!v) return E_POINTER;
    VariantInit(v);
    V_VT(v) = VT_I4;
    V_I4(v) = engine_->getFileSize();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_FileURL(BSTR* v) override {
    return outString(v, [&] { return engine_->getFileURL(); });
  }
  HRESULT STDMETHODCALLTYPE put_FileURL(BSTR v) override {
    return guarded([&] { engine_->putFileURL(fromBstr(v)); });
  }
  HRESULT STDMETHODCALLTYPE get_SaveFileName(BSTR* v) override {
    return outString(v, [&] { return engine_->getSaveFileName(); });
  }
  HRESULT STDMETHODCALLTYPE get_SaveFilePath(BSTR* v) override {
    return outString(v, [&] { return engine_->getSaveFilePath(); });
  }
  HRESULT STDMETHODCALLTYPE put_SaveFilePath(BSTR v) override {
    return guarded([&] { engine_->putSaveFilePath(fromBstr(v)); });
  }
  HRESULT STDMETHODCALLTYPE BeginDownload(VARIANT_BOOL wait, VARIANT_BOOL* started) override {
    ComPtr<IUnknown> alive = ComPtr<IUnknown>::share(static_cast<_bkDLControl*>(this));
    bool result = false;
    HRESULT hr = guarded([&] { result = engine_->BeginDownload(wait != VARIANT_FALSE); });
    platform_.repostQuit();
    if (started) *started = vb(result);
    return hr;
  }
  HRESULT STDMETHODCALLTYPE CancelDownload() override {
    ComPtr<IUnknown> alive = ComPtr<IUnknown>::share(static_cast<_bkDLControl*>(this));
    return guarded([&] { engine_->CancelDownload(); });
  }
  HRESULT STDMETHODCALLTYPE get_FailOnRedirect(VARIANT_BOOL* v) override {
    if (!v) return E_POINTER;
    *v = vb(engine_->getFailOnRedirect());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_FailOnRedirect(VARIANT_BOOL v) override {
    return guarded([&] { engine_->putFailOnRedirect(v != VARIANT_FALSE); });
  }
  HRESULT STDMETHODCALLTYPE get_RenameOnRedirect(VARIANT_BOOL* v) override {
    if (!v) return E_POINTER;
    *v = vb(engine_->getRenameOnRedirect());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_RenameOnRedirect(VARIANT_BOOL v) override {
    return guarded([&] { engine_->putRenameOnRedirect(v != VARIANT_FALSE); });
  }
  HRESULT STDMETHODCALLTYPE get_ShowProgress(VARIANT_BOOL* v) override {
    if (!v) return E_POINTER;
    *v = vb(engine_->getShowProgress());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE put_ShowProgress(VARIANT_BOOL v) override {
    return guarded([&] { engine_->putShowProgress(v != VARIANT_FALSE); });
  }

  // ---- ISupportErrorInfo
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID iid) override {
    return IsEqualIID(iid, IID__bkDLControl) ? S_OK : S_FALSE;
  }

  // ---- IConnectionPointContainer
  HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID iid, IConnectionPoint** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(iid, DIID___bkDLControl))
      *out = &events_;
    else if (IsEqualIID(iid, IID_IPropertyNotifySink))
      *out = &propertyNotify_;
    else
      return CONNECT_E_NOCONNECTION;
    (*out)->AddRef();
    return S_OK;
  }

  // ---- IProvideClassInfo2
  HRESULT STDMETHODCALLTYPE GetClassInfo(ITypeInfo** out) override {
    if (!out) return E_POINTER;
    *out = classInfo_.copy().detach();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetGUID(DWORD kind, GUID* out) override {
    if (!out) return E_POINTER;
    if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) return E_INVALIDARG;
    *out = DIID___bkDLControl;
    return S_OK;
  }

  // ---- IPersist, IPersistStreamInit, IPersistPropertyBag
  HRESULT STDMETHODCALLTYPE GetClassID(CLSID* out) override {
    if (!out) return E_POINTER;
    *out = CLSID_bkDLControl;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE IsDirty() override { return dirty_ ? S_OK : S_FALSE; }
  // A new or loaded control starts clean, except for what the engine marks
  // changed meanwhile (the container's font taken as the control's own).
  HRESULT STDMETHODCALLTYPE InitNew() override {
    dirty_ = false;
    return guarded([&] { engine_->InitNew(); });
  }
  HRESULT STDMETHODCALLTYPE Load(IStream* stream) override {
    if (!stream) return E_POINTER;
    dirty_ = false;
    return guarded([&] {
      StreamStore store;
      store.load(*stream);
      engine_->ReadProperties(store);
    });
  }
  HRESULT STDMETHODCALLTYPE Save(IStream* stream, BOOL clearDirty) override {
    if (!stream) return E_POINTER;
    HRESULT hr = guarded([&] {
      StreamStore store;
      engine_->WriteProperties(store);
      store.save(*stream);
    });
    if (SUCCEEDED(hr) && clearDirty) dirty_ = false;
    return hr;
  }
  HRESULT STDMETHODCALLTYPE GetSizeMax(ULARGE_INTEGER* size) override {
    if (!size) return E_POINTER;
    return guarded([&] {
      StreamStore store;
      engine_->WriteProperties(store);
      size->QuadPart = store.sizeMax();
    });
  }
  HRESULT STDMETHODCALLTYPE Load(IPropertyBag* bag, IErrorLog* log) override {
    if (!bag) return E_POINTER;
    dirty_ = false;
    return guarded([&] {
      BagStore store(*bag, log);
      engine_->ReadProperties(store);
    });
  }
  HRESULT STDMETHODCALLTYPE Save(IPropertyBag* bag, BOOL clearDirty, BOOL) override {
    if (!bag) return E_POINTER;
    HRESULT hr = guarded([&] {
      BagStore store(*bag, nullptr);
      engine_->WriteProperties(store);
    });
    if (SUCCEEDED(hr) && clearDirty) dirty_ = false;
    return hr;
  }

  // ---- IOleObject
  HRESULT STDMETHODCALLTYPE SetClientSite(IOleClientSite* site) override {
    if (!site && window_) InPlaceDeactivate();
    site_ = ComPtr<IOleClientSite>::share(site);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetClientSite(IOleClientSite** out) override {
    if (!out) return E_POINTER;
    *out = site_.copy().detach();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetHostNames(LPCOLESTR, LPCOLESTR) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE Close(DWORD) override {
    InPlaceDeactivate();
    if (adviseHolder_) adviseHolder_->SendOnClose();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetMoniker(DWORD, IMoniker*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetMoniker(DWORD, DWORD, IMoniker** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE InitFromData(IDataObject*, BOOL, DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetClipboardData(DWORD, IDataObject** out) override {
    if (out) *out = nullptr;
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE DoVerb(LONG verb, LPMSG, IOleClientSite* site, LONG, HWND parent,
                                   LPCRECT rect) override {
    switch (verb) {
      case OLEIVERB_PRIMARY:
      case OLEIVERB_SHOW:
      case OLEIVERB_INPLACEACTIVATE:
      case OLEIVERB_UIACTIVATE:
        return inPlaceActivate(site ? site : site_.get(), parent, rect);
      case OLEIVERB_HIDE:
        if (window_) ShowWindow(window_, SW_HIDE);
        return S_OK;
      default:
        return verb < 0 ? E_NOTIMPL : OLEOBJ_S_INVALIDVERB;
    }
  }
  HRESULT STDMETHODCALLTYPE EnumVerbs(IEnumOLEVERB** out) override {
    if (out) *out = nullptr;
    return OLE_S_USEREG;
  }
  HRESULT STDMETHODCALLTYPE Update() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE IsUpToDate() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE GetUserClassID(CLSID* out) override { return GetClassID(out); }
  HRESULT STDMETHODCALLTYPE GetUserType(DWORD, LPOLESTR* out) override {
    if (out) *out = nullptr;
    return OLE_S_USEREG;
  }
  HRESULT STDMETHODCALLTYPE SetExtent(DWORD aspect, SIZEL* size) override {
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    if (!size) return E_POINTER;
    extent_ = *size;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetExtent(DWORD aspect, SIZEL* size) override {
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    if (!size) return E_POINTER;
    *size = extent_;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE Advise(IAdviseSink* sink, DWORD* cookie) override {
    if (!adviseHolder_ && FAILED(CreateOleAdviseHolder(adviseHolder_.put()))) return E_OUTOFMEMORY;
    return adviseHolder_->Advise(sink, cookie);
  }
  HRESULT STDMETHODCALLTYPE Unadvise(DWORD cookie) override {
    return adviseHolder_ ? adviseHolder_->Unadvise(cookie) : OLE_E_NOCONNECTION;
  }
  HRESULT STDMETHODCALLTYPE EnumAdvise(IEnumSTATDATA** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    return adviseHolder_ ? adviseHolder_->EnumAdvise(out) : E_FAIL;
  }
  HRESULT STDMETHODCALLTYPE GetMiscStatus(DWORD aspect, DWORD* status) override {
    if (!status) return E_POINTER;
    *status = aspect == DVASPECT_CONTENT ? kMiscStatus : 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetColorScheme(LOGPALETTE*) override { return E_NOTIMPL; }

  // ---- IOleWindow, IOleInPlaceObject, IOleInPlaceActiveObject
  HRESULT STDMETHODCALLTYPE GetWindow(HWND* out) override {
    if (!out) return E_POINTER;
    *out = window_;
    return window_ ? S_OK : E_FAIL;
  }
  HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE InPlaceDeactivate() override {
    if (!inPlaceSite_ && !window_) return S_OK;
    destroyWindow();
    if (ComPtr<IOleInPlaceSite> site = std::move(inPlaceSite_)) site->OnInPlaceDeactivate();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE UIDeactivate() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetObjectRects(LPCRECT position, LPCRECT) override {
    if (!position) return E_POINTER;
    LONG w = position->right - position->left, h = position->bottom - position->top;
    extent_.cx = MulDiv(w, 2540, plat::win::screenDpi());
    extent_.cy = MulDiv(h, 2540, plat::win::screenDpi());
    if (window_) MoveWindow(window_, position->left, position->top, w, h, TRUE);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ReactivateAndUndo() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE TranslateAccelerator(LPMSG) override { return S_FALSE; }
  HRESULT STDMETHODCALLTYPE OnFrameWindowActivate(BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnDocWindowActivate(BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) override {
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE EnableModeless(BOOL) override { return S_OK; }

  // ---- IViewObject2
  HRESULT STDMETHODCALLTYPE Draw(DWORD aspect, LONG, void*, DVTARGETDEVICE*, HDC, HDC dc,
                                 LPCRECTL bounds, LPCRECTL, BOOL(STDMETHODCALLTYPE*)(ULONG_PTR),
                                 ULONG_PTR) override {
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    if (!dc || !bounds) return E_INVALIDARG;
    RECT r = {bounds->left, bounds->top, bounds->right, bounds->bottom};
    surface_.paint(dc, r, true);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC,
                                        LOGPALETTE** out) override {
    if (out) *out = nullptr;
    return S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE Freeze(DWORD, LONG, void*, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Unfreeze(DWORD) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) override {
    viewSink_ = ComPtr<IAdviseSink>::share(sink);
    viewAspects_ = aspects;
    viewFlags_ = flags;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) override {
    if (aspects) *aspects = viewAspects_;
    if (flags) *flags = viewFlags_;
    if (sink) *sink = viewSink_.copy().detach();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*, LPSIZEL size) override {
    return GetExtent(aspect, size);
  }

  // ---- IOleControl
  HRESULT STDMETHODCALLTYPE GetControlInfo(CONTROLINFO* info) override {
    if (!info) return E_POINTER;
    info->hAccel = nullptr;
    info->cAccel = 0;
    info->dwFlags = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnMnemonic(MSG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE OnAmbientPropertyChange(DISPID) override { return S_OK; }
  // Events are never held back: the download events carry the outcome of a
  // transfer that cannot be asked for again.
  HRESULT STDMETHODCALLTYPE FreezeEvents(BOOL) override { return S_OK; }

 private:
  HRESULT inPlaceActivate(IOleClientSite* site, HWND parentHint, LPCRECT rectHint) {
    if (window_) {
      ShowWindow(window_, SW_SHOWNA);
      return S_OK;
    }
    if (!site) return E_INVALIDARG;
    ComPtr<IOleInPlaceSite> ips;
    if (FAILED(site->QueryInterface(IID_IOleInPlaceSite, ips.putVoid())) || !ips)
      return E_NOINTERFACE;
    if (ips->CanInPlaceActivate() != S_OK) return E_FAIL;
    ips->OnInPlaceActivate();
    HWND parent = nullptr;
    if (FAILED(ips->GetWindow(&parent)) || !parent) parent = parentHint;
    RECT position = rectHint ? *rectHint : RECT{0, 0, extentPixels().cx, extentPixels().cy};
    RECT clip = position;
    ComPtr<IOleInPlaceFrame> frame;
    ComPtr<IOleInPlaceUIWindow> document;
    OLEINPLACEFRAMEINFO info = {};
    info.cb = sizeof info;
    if (SUCCEEDED(ips->GetWindowContext(frame.put(), document.put(), &position, &clip, &info))) {
      // position is in the parent's client coordinates
    }
    if (!createWindow(parent, position)) {
      ips->OnInPlaceDeactivate();
      return E_FAIL;
    }
    inPlaceSite_ = std::move(ips);
    return S_OK;
  }

  bool createWindow(HWND parent, const RECT& r) {
    if (!ensureWindowClass(kWindowClass, &Control::windowProc, CS_DBLCLKS)) return false;
    DWORD style = WS_CHILD | WS_CLIPSIBLINGS | WS_VISIBLE;
    if (surface_.borderStyle() == dl::kBorderFixedSingle) style |= WS_BORDER;
    if (!surface_.enabled()) style |= WS_DISABLED;
    window_ = CreateWindowExW(0, kWindowClass, L"", style, r.left, r.top, r.right - r.left,
                              r.bottom - r.top, parent, nullptr, moduleInstance(), this);
    return window_ != nullptr;
  }

  void destroyWindow() {
    if (HWND w = window_) {
      window_ = nullptr;
      SetWindowLongPtrW(w, GWLP_USERDATA, 0);
      DestroyWindow(w);
    }
  }

  static int16_t shiftState() {
    int16_t s = 0;
    if (GetKeyState(VK_SHIFT) < 0) s |= 1;
    if (GetKeyState(VK_CONTROL) < 0) s |= 2;
    if (GetKeyState(VK_MENU) < 0) s |= 4;
    return s;
  }

  static int16_t buttonsOf(WPARAM keys) {
    int16_t b = 0;
    if (keys & MK_LBUTTON) b |= 1;
    if (keys & MK_RBUTTON) b |= 2;
    if (keys & MK_MBUTTON) b |= 4;
    return b;
  }

  static int16_t buttonOf(UINT message) {
    switch (message) {
      case WM_LBUTTONDOWN:
      case WM_LBUTTONUP:
      case WM_LBUTTONDBLCLK:
        return 1;
      case WM_RBUTTONDOWN:
      case WM_RBUTTONUP:
      case WM_RBUTTONDBLCLK:
        return 2;
      default:
        return 4;
    }
  }

  void onPaint() {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window_, &ps);
    RECT client;
    GetClientRect(window_, &client);
    surface_.paint(dc, client, false);
    EndPaint(window_, &ps);
  }

  void onButtonDown(UINT message, float x, float y) {
    if (message == WM_LBUTTONDOWN) leftPressed_ = true;
    SetCapture(window_);
    engine_->onMouseDown(buttonOf(message), shiftState(), x, y);
  }

  // A click is a left press and release both on the control.
  void onButtonUp(UINT message, WPARAM keys, float x, float y) {
    bool click = false;
    if (message == WM_LBUTTONUP && leftPressed_) {
      leftPressed_ = false;
      RECT client;
      GetClientRect(window_, &client);
      POINT p = {static_cast<LONG>(x), static_cast<LONG>(y)};
      click = PtInRect(&client, p) != FALSE;
    }
    if (!(keys & (MK_LBUTTON | MK_RBUTTON | MK_MBUTTON)) && GetCapture() == window_)
      ReleaseCapture();
    engine_->onMouseUp(buttonOf(message), shiftState(), x, y);
    if (click) engine_->onClick();
  }

  // The second press of a left double click is the double click itself
  // instead of a second press; its release follows as usual.
  void onDoubleClick(UINT message, float x, float y) {
    SetCapture(window_);
    if (message == WM_LBUTTONDBLCLK) {
      leftPressed_ = false;
      engine_->onDblClick();
    } else {
      engine_->onMouseDown(buttonOf(message), shiftState(), x, y);
    }
  }

  // True when the message was handled.
  bool onMouse(UINT message, WPARAM wParam, float x, float y) {
    switch (message) {
      case WM_LBUTTONDOWN:
      case WM_RBUTTONDOWN:
      case WM_MBUTTONDOWN:
        onButtonDown(message, x, y);
        return true;
      case WM_LBUTTONUP:
      case WM_RBUTTONUP:
      case WM_MBUTTONUP:
        onButtonUp(message, wParam, x, y);
        return true;
      case WM_LBUTTONDBLCLK:
      case WM_RBUTTONDBLCLK:
      case WM_MBUTTONDBLCLK:
        onDoubleClick(message, x, y);
        return true;
      case WM_MOUSEMOVE:
        engine_->onMouseMove(buttonsOf(wParam), shiftState(), x, y);
        return true;
      default:
        return false;
    }
  }

  LRESULT onMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    try {
      if (message == WM_PAINT) {
        onPaint();
        return 0;
      }
      if (message == WM_ERASEBKGND) return 1;  // WM_PAINT fills the whole client area itself
      if (message == WM_CAPTURECHANGED) leftPressed_ = false;
      if (onMouse(message, wParam, static_cast<float>(GET_X_LPARAM(lParam)),
                  static_cast<float>(GET_Y_LPARAM(lParam))))
        return 0;
    } catch (...) {
      // Surface failures have no caller to go to from a window message.
    }
    return DefWindowProcW(window_, message, wParam, lParam);
  }

  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
      auto* create = reinterpret_cast<CREATESTRUCTW*>(lParam);
      SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
      static_cast<Control*>(create->lpCreateParams)->window_ = window;
    }
    auto* self = reinterpret_cast<Control*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!self || self->window_ != window) return DefWindowProcW(window, message, wParam, lParam);
    // A handler of a mouse event may let go of the control.
    ComPtr<IUnknown> alive = ComPtr<IUnknown>::share(static_cast<_bkDLControl*>(self));
    return self->onMessage(message, wParam, lParam);
  }

  LONG refs_ = 0;
  ModuleRef module_;
  ConnectionPoint events_;
  ConnectionPoint propertyNotify_;
  GdiSurface surface_;
  ContainerLink container_;
  WinPlatform platform_;
  EventRaiser raiser_;
  // WinINet rather than URLMon: under Wine, URLMon's HTTP data path reads in
  // 8 KiB pieces and reaches only a fraction of the connection's speed.
  WininetTransfer transfer_;
  std::unique_ptr<dl::bkDLControl> engine_;
  ComPtr<ITypeInfo> typeInfo_;
  ComPtr<ITypeInfo> classInfo_;
  ComPtr<IOleClientSite> site_;
  ComPtr<IOleInPlaceSite> inPlaceSite_;
  ComPtr<IOleAdviseHolder> adviseHolder_;
  ComPtr<IAdviseSink> viewSink_;
  DWORD viewAspects_ = 0;
  DWORD viewFlags_ = 0;
  SIZEL extent_ = {};
  HWND window_ = nullptr;
  bool dirty_ = false;
  bool leftPressed_ = false;
};

// ---- ContainerLink

void ContainerLink::propertyChanged(const std::string& name) {
  control_.markDirty(name);
}

dl::FontPtr ContainerLink::ambientFont() {
  if (IOleClientSite* site = control_.site()) {
    ComPtr<IDispatch> ambient;
    if (SUCCEEDED(site->QueryInterface(IID_IDispatch, ambient.putVoid())) && ambient) {
      DISPPARAMS none = {nullptr, nullptr, 0, 0};
      Variant value;
      if (SUCCEEDED(ambient->Invoke(DISPID_AMBIENT_FONT, IID_NULL, LOCALE_USER_DEFAULT,
                                    DISPATCH_PROPERTYGET, &none, value.get(), nullptr, nullptr)) &&
          (V_VT(value.get()) == VT_DISPATCH || V_VT(value.get()) == VT_UNKNOWN) &&
          V_UNKNOWN(value.get())) {
        // A copy of the container's font, so that changing ours leaves the
        // container's alone.
        ComPtr<IFont> font;
        if (SUCCEEDED(V_UNKNOWN(value.get())->QueryInterface(IID_IFont, font.putVoid())) && font) {
          ComPtr<IFont> clone;
          if (SUCCEEDED(font->Clone(clone.put())) && clone) {
            ComPtr<IFontDisp> disp = clone.query<IFontDisp>(IID_IFontDisp);
            if (disp) return wrapFont(std::move(disp));
          }
        }
      }
    }
  }
  return wrapFont(createDefaultFont());
}

}  // namespace

HRESULT createControl(REFIID iid, void** out) {
  Control* control = nullptr;
  try {
    control = new Control();
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  control->AddRef();
  HRESULT hr = control->ready() ? control->QueryInterface(iid, out) : TYPE_E_CANTLOADLIBRARY;
  control->Release();
  return hr;
}

}  // namespace lumvex
