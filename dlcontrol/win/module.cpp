// Entry points of the in-process server: the class object, self-registration
// and unloading. Hosts that carry Lumvex.ocx in their own folder skip the
// registry: they load the library and call DllGetClassObject directly.
#include "dlcontrol/win/module.h"

#include <ole2.h>
#include <olectl.h>

#include <new>
#include <string>
#include <vector>

#include "dlcontrol/win/Lumvex_h.h"
#include "dlcontrol/win/control.h"

namespace lumvex {
namespace {

HINSTANCE gInstance = nullptr;
LONG gCount = 0;
std::vector<std::wstring> gClasses;  // window classes registered by this load

constexpr wchar_t kProgId[] = L"Lumvex.bkDLControl";
constexpr wchar_t kClassName[] = L"bkDLControl";
// Flags a container reads before creating the control: it wants its client
// site first, activates in place as soon as it is visible and is no document.
constexpr DWORD kMiscStatus = OLEMISC_RECOMPOSEONRESIZE | OLEMISC_CANTLINKINSIDE |
                              OLEMISC_INSIDEOUT | OLEMISC_ACTIVATEWHENVISIBLE |
                              OLEMISC_SETCLIENTSITEFIRST;

class ClassFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
      *out = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    return static_cast<ULONG>(InterlockedIncrement(&refs_));
  }
  ULONG STDMETHODCALLTYPE Release() override {
    LONG n = InterlockedDecrement(&refs_);
    if (n == 0) delete this;
    return static_cast<ULONG>(n);
  }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return createControl(iid, out);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock)
      moduleAddRef();
    else
      moduleRelease();
    return S_OK;
  }

 private:
  LONG refs_ = 1;
  ModuleRef module_;
};

std::wstring guidText(REFGUID guid) {
  wchar_t text[64] = {};
  StringFromGUID2(guid, text, 64);
  return text;
}

HRESULT setValue(HKEY root, const std::wstring& path, const wchar_t* name,
                 const std::wstring& value) {
  HKEY key = nullptr;
  LONG rc = RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr);
  if (rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
  rc = RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                      static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return rc == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(rc);
}

HRESULT deleteTree(HKEY root, const std::wstring& path) {
  LONG rc = RegDeleteTreeW(root, path.c_str());
  if (rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND) {
    RegDeleteKeyW(root, path.c_str());
    return S_OK;
  }
  return HRESULT_FROM_WIN32(rc);
}

HRESULT registerServer() {
  const std::wstring clsid = L"CLSID\\" + guidText(CLSID_bkDLControl);
  const std::wstring libid = guidText(LIBID_Lumvex);
  const std::wstring path = modulePath();
  struct Entry {
    std::wstring key;
    const wchar_t* name;
    std::wstring value;
  };
  const Entry entries[] = {
      {clsid, nullptr, kClassName},
      {clsid + L"\\InprocServer32", nullptr, path},
      {clsid + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
      {clsid + L"\\ProgID", nullptr, kProgId},
      {clsid + L"\\VersionIndependentProgID", nullptr, kProgId},
      {clsid + L"\\Control", nullptr, L""},
      {clsid + L"\\TypeLib", nullptr, libid},
      {clsid + L"\\Version", nullptr, L"3.0"},
      {clsid + L"\\MiscStatus", nullptr, L"0"},
      {clsid + L"\\MiscStatus\\1", nullptr, std::to_wstring(kMiscStatus)},
      {kProgId, nullptr, kProgId},
      {std::wstring(kProgId) + L"\\CLSID", nullptr, guidText(CLSID_bkDLControl)},
  };
  for (const Entry& e : entries) {
    HRESULT hr = setValue(HKEY_CLASSES_ROOT, e.key, e.name, e.value);
    if (FAILED(hr)) return hr;
  }
  ITypeLib* lib = nullptr;
  HRESULT hr = LoadTypeLibEx(path.c_str(), REGKIND_REGISTER, &lib);
  if (lib) lib->Release();
  return FAILED(hr) ? SELFREG_E_TYPELIB : S_OK;
}

HRESULT unregisterServer() {
  // Every step runs, so that a half-registered control can still be removed.
  HRESULT result = S_OK;
#ifdef _WIN64
  const SYSKIND kind = SYS_WIN64;
#else
  const SYSKIND kind = SYS_WIN32;
#endif
  HRESULT hr = UnRegisterTypeLib(LIBID_Lumvex, 3, 0, LOCALE_NEUTRAL, kind);
  if (FAILED(hr) && hr != TYPE_E_REGISTRYACCESS && hr != TYPE_E_CANTLOADLIBRARY)
    result = SELFREG_E_TYPELIB;
  hr = deleteTree(HKEY_CLASSES_ROOT, L"CLSID\\" + guidText(CLSID_bkDLControl));
  if (FAILED(hr)) result = SELFREG_E_CLASS;
  hr = deleteTree(HKEY_CLASSES_ROOT, kProgId);
  if (FAILED(hr)) result = SELFREG_E_CLASS;
  return result;
}

}  // namespace

HINSTANCE moduleInstance() {
  return gInstance;
}

std::wstring modulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(gInstance, path.data(), static_cast<DWORD>(path.size()));
    if (n < path.size()) {
      path.resize(n);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

bool ensureWindowClass(const wchar_t* name, WNDPROC proc, UINT style) {
  for (const std::wstring& c : gClasses)
    if (c == name) return true;
  WNDCLASSW wc = {};
  wc.style = style;
  wc.lpfnWndProc = proc;
  wc.hInstance = gInstance;
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.lpszClassName = name;
  if (!RegisterClassW(&wc)) return false;
  try {
    gClasses.emplace_back(name);
  } catch (...) {
    UnregisterClassW(name, gInstance);
    return false;
  }
  return true;
}

void moduleAddRef() {
  InterlockedIncrement(&gCount);
}
void moduleRelease() {
  InterlockedDecrement(&gCount);
}
long moduleCount() {
  return gCount;
}

}  // namespace lumvex

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    lumvex::gInstance = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!IsEqualCLSID(clsid, CLSID_bkDLControl)) return CLASS_E_CLASSNOTAVAILABLE;
  auto* factory = new (std::nothrow) lumvex::ClassFactory();
  if (!factory) return E_OUTOFMEMORY;
  HRESULT hr = factory->QueryInterface(iid, out);
  factory->Release();
  return hr;
}

STDAPI DllCanUnloadNow() {
  if (lumvex::moduleCount() != 0) return S_FALSE;
  // No object, so no window of ours is left: the classes can go.
  for (const std::wstring& c : lumvex::gClasses) UnregisterClassW(c.c_str(), lumvex::gInstance);
  lumvex::gClasses.clear();
  return S_OK;
}

STDAPI DllRegisterServer() {
  try {
    HRESULT hr = lumvex::registerServer();
    if (FAILED(hr)) lumvex::unregisterServer();
    return hr;
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

STDAPI DllUnregisterServer() {
  try {
    return lumvex::unregisterServer();
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}

}  // extern "C"
