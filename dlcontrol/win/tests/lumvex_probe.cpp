// lumvex_probe: a small host of the download control for the Wine tests. It
// drives the control the way the kit's programs and other containers do and
// writes what it sees, one line per observation, to a UTF-8 log that the
// native test reads.
//
//   lumvex_probe defaults <log>
//       creates the control by ProgID and reads every property by dispatch id
//   lumvex_probe typelib <log> <ocx>
//       lists every identifier of the type library carried by the file
//   lumvex_probe download <log> <url> <folder> [option...]
//       one download; options: ocx=<path> (registration-free creation, else
//       ProgID), wait, fail-redirect=0|1, rename-redirect=0|1,
//       cancel-at=<bytes>, release-at=<bytes> (let go of the control while
//       busy), again-on-error=<url>, timeout=<ms>, stall=<ms> (the stall
//       limit), linger=<ms> (pump this long after the end, then count the
//       temporary files left)
//   lumvex_probe host <log> <url> <folder> [ocx=<path>] [close-on-complete]
//       hosts the control in the system's ActiveX container on a window
//       titled "Lumvex host" until that window closes: by ProgID through the
//       window class AtlAxWin, or with ocx= created registration-free and
//       attached to a child window
//   lumvex_probe persist <log> <ocx>
//       saves the settings through a property bag and a stream and loads
//       them into new controls
//   lumvex_probe bench <log> <url> <folder> <ocx>
//       a download with Wait, timed, with the process's peak memory
//
// Exit code 0 when the scenario ran to its end, 1 when a check failed or it
// timed out, 2 for a usage error.
#include <windows.h>
#include <ole2.h>
#include <olectl.h>
#include <psapi.h>
#include <shellapi.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "dlcontrol/win/Lumvex_h.h"
#include "dlcontrol/win/lumvex_host.h"
#include "dlcontrol/win/win_text.h"

using lumvex::Bstr;
using lumvex::ComPtr;
using lumvex::narrow;
using lumvex::Variant;
using lumvex::widen;
namespace dispid = lumvex::dispid;

namespace {

FILE* gLog = nullptr;

void logLine(const std::string& line) {
  if (!gLog) return;
  std::fputs(line.c_str(), gLog);
  std::fputc('\n', gLog);
  std::fflush(gLog);
}

std::string hex(unsigned long value) {
  char text[16];
  std::snprintf(text, sizeof text, "%08lX", value);
  return text;
}

std::string describe(const VARIANT& v) {
  switch (V_VT(&v)) {
    case VT_EMPTY:
      return "EMPTY";
    case VT_I2:
      return "I2:" + std::to_string(V_I2(&v));
    case VT_I4:
      return "I4:" + std::to_string(V_I4(&v));
    case VT_UI4:
      return "UI4:" + std::to_string(V_UI4(&v));
    case VT_R4:
      return "R4:" + std::to_string(V_R4(&v));
    case VT_BOOL:
      return std::string("BOOL:") + (V_BOOL(&v) == VARIANT_TRUE ? "-1" : V_BOOL(&v) ? "?" : "0");
    case VT_BSTR:
      return "BSTR:" + lumvex::fromBstr(V_BSTR(&v));
    case VT_DISPATCH: {
      if (!V_DISPATCH(&v)) return "DISPATCH:null";
      ComPtr<IFont> font;
      V_DISPATCH(&v)->QueryInterface(IID_IFont, font.putVoid());
      if (!font) return "DISPATCH:object";
      Bstr name;
      CY size = {};
      font->get_Name(name.put());
      font->get_Size(&size);
      return "FONT:" + lumvex::fromBstr(name.get()) + ":" + std::to_string(size.int64 / 10000.0);
    }
    default:
      return "VT" + std::to_string(V_VT(&v));
  }
}

std::string getAsText(IDispatch* control, DISPID id) {
  Variant v;
  std::wstring error;
  HRESULT hr = lumvex::getProperty(control, id, v.get(), &error);
  if (FAILED(hr)) return "ERROR:" + hex(static_cast<unsigned long>(hr)) + ":" + narrow(error);
  return describe(*v);
}

const std::vector<std::pair<const char*, DISPID>>& properties() {
  static const std::vector<std::pair<const char*, DISPID>> list = {
      {"BackColor", dispid::kBackColor},
      {"ForeColor", dispid::kForeColor},
      {"Enabled", dispid::kEnabled},
      {"Font", dispid::kFont},
      {"BorderStyle", dispid::kBorderStyle},
      {"BytesRead", dispid::kBytesRead},
      {"CacheFile", dispid::kCacheFile},
      {"ConnectionAddress", dispid::kConnectionAddress},
      {"MIMEType", dispid::kMIMEType},
      {"RedirectFile", dispid::kRedirectFile},
      {"FileSize", dispid::kFileSize},
      {"FileURL", dispid::kFileURL},
      {"SaveFileName", dispid::kSaveFileName},
      {"SaveFilePath", dispid::kSaveFilePath},
      {"FailOnRedirect", dispid::kFailOnRedirect},
      {"RenameOnRedirect", dispid::kRenameOnRedirect},
      {"ShowProgress", dispid::kShowProgress},
  };
  return list;
}

void logProperties(IDispatch* control, const char* prefix) {
  for (const auto& [name, id] : properties())
    logLine(std::string(prefix) + name + "=" + getAsText(control, id));
}

HRESULT putBool(IDispatch* control, DISPID id, bool value) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_BOOL;
  V_BOOL(&v) = value ? VARIANT_TRUE : VARIANT_FALSE;
  return lumvex::putProperty(control, id, v);
}

HRESULT putLong(IDispatch* control, DISPID id, LONG value) {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_I4;
  V_I4(&v) = value;
  return lumvex::putProperty(control, id, v);
}

// Pumps until `done` or the timeout; false on timeout.
template <typename F>
bool pumpUntil(F&& done, DWORD timeoutMs) {
  ULONGLONG end = GetTickCount64() + timeoutMs;
  while (!done()) {
    ULONGLONG now = GetTickCount64();
    if (now >= end) return false;
    MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(std::min<ULONGLONG>(end - now, 100)),
                                QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) return done();
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  return true;
}

std::map<std::string, std::string> options(const std::vector<std::wstring>& args, size_t from) {
  std::map<std::string, std::string> out;
  for (size_t i = from; i < args.size(); ++i) {
    std::string a = narrow(args[i]);
    size_t eq = a.find('=');
    if (eq == std::string::npos)
      out[a] = "1";
    else
      out[a.substr(0, eq)] = a.substr(eq + 1);
  }
  return out;
}

HRESULT createControl(const std::string& ocx, ComPtr<IDispatch>& control) {
  if (!ocx.empty())
    return lumvex::createControlFromFile(widen(ocx), IID_IDispatch, control.putVoid());
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(L"Lumvex.bkDLControl", &clsid);
  if (FAILED(hr)) return hr;
  return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, control.putVoid());
}

HRESULT initNew(IDispatch* control) {
  ComPtr<IPersistStreamInit> persist;
  HRESULT hr = control->QueryInterface(IID_IPersistStreamInit, persist.putVoid());
  return FAILED(hr) ? hr : persist->InitNew();
}

// Writes every event to the log; optional reactions for the scenarios.
class EventLog : public dl::ControlEvents {
 public:
  IDispatch* control = nullptr;
  int32_t cancelAt = -1;
  std::wstring againOnError;
  bool ended = false;
  int completes = 0;
  float lastPercent = 0.0f;
  std::wstring againUrl;
  std::function<void(int32_t)> onProgress;  // with the bytes read
  std::function<void(int32_t)> onComplete;  // with the bytes

  void Click() override { logLine("EVENT Click"); }
  void DblClick() override { logLine("EVENT DblClick"); }
  void MouseDown(int16_t b, int16_t s, float x, float y) override {
    mouse("MouseDown", b, s, x, y);
  }
  void MouseMove(int16_t, int16_t, float, float) override {}
  void MouseUp(int16_t b, int16_t s, float x, float y) override { mouse("MouseUp", b, s, x, y); }
  void DLProgress(float percent, int32_t bytesRead, int32_t total) override {
    lastPercent = percent;
    char text[128];
    std::snprintf(text, sizeof text, "EVENT DLProgress %.4f %ld %ld", percent,
                  static_cast<long>(bytesRead), static_cast<long>(total));
    logLine(text);
    if (onProgress) onProgress(bytesRead);
    if (cancelAt >= 0 && bytesRead >= cancelAt && control) {
      cancelAt = -1;
      logLine("ACTION CancelDownload");
      lumvex::callMethod(control, dispid::kCancelDownload, nullptr, 0, nullptr);
    }
  }
  void DLCanceled() override {
    logLine("EVENT DLCanceled");
    ended = true;
  }
  void DLError(dl::bkDLError code, std::string text) override {
    logLine("EVENT DLError " + std::to_string(static_cast<int>(code)) + " " + text);
    if (!againOnError.empty() && control) {
      std::wstring url = againOnError;
      againOnError.clear();
      lumvex::putString(control, dispid::kFileURL, url);
      bool started = false;
      lumvex::beginDownload(control, started);
      logLine(std::string("ACTION BeginDownload from DLError ") + (started ? "true" : "false"));
    }
  }
  void DLComplete(int32_t bytes) override {
    logLine("EVENT DLComplete " + std::to_string(bytes));
    ++completes;
    if (control) {
      bool started = true;
      // A new download from the handler of a successful completion is refused.
      if (bytes > 0) {
        lumvex::beginDownload(control, started);
        logLine(std::string("ACTION BeginDownload from DLComplete ") +
                (started ? "true" : "false"));
      }
    }
    ended = true;
    if (onComplete) {
      onComplete(bytes);
      logLine("HANDLER RETURNED");
    }
  }
  void DLConnected(std::string a) override { logLine("EVENT DLConnected " + a); }
  void DLRedirect(std::string a) override { logLine("EVENT DLRedirect " + a); }
  void DLCacheFile(std::string f) override { logLine("EVENT DLCacheFile " + f); }
  void DLMIMEType(std::string t) override { logLine("EVENT DLMIMEType " + t); }
  void DLFileSize(int32_t b) override { logLine("EVENT DLFileSize " + std::to_string(b)); }
  void DLBeginDownload() override { logLine("EVENT DLBeginDownload"); }

 private:
  static void mouse(const char* name, int16_t b, int16_t s, float x, float y) {
    char text[128];
    std::snprintf(text, sizeof text, "EVENT %s %d %d %.0f %.0f", name, b, s, x, y);
    logLine(text);
  }
};

int runDefaults() {
  ComPtr<IDispatch> control;
  HRESULT hr = createControl("", control);
  logLine("CREATE " + hex(static_cast<unsigned long>(hr)));
  if (FAILED(hr)) return 1;
  hr = initNew(control.get());
  logLine("INITNEW " + hex(static_cast<unsigned long>(hr)));
  logProperties(control.get(), "PROP ");
  // The type library is reachable through IDispatch and names the members.
  UINT count = 0;
  control->GetTypeInfoCount(&count);
  logLine("TYPEINFOCOUNT " + std::to_string(count));
  const wchar_t* names[] = {L"BeginDownload", L"FileURL", L"CancelDownload", L"Refresh",
                            L"ShowProgress"};
  for (const wchar_t* n : names) {
    DISPID id = 0;
    LPOLESTR name = const_cast<LPOLESTR>(n);
    hr = control->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id);
    logLine("DISPID " + narrow(std::wstring(n)) + "=" + hex(static_cast<unsigned long>(id)));
  }
  // The event interface, as a container learns it.
  ComPtr<IProvideClassInfo2> info;
  control->QueryInterface(IID_IProvideClassInfo2, info.putVoid());
  GUID events = {};
  if (info && SUCCEEDED(info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &events))) {
    wchar_t text[64];
    StringFromGUID2(events, text, 64);
    logLine("EVENTS " + narrow(std::wstring(text)));
  }
  logLine("END");
  return 0;
}

std::string guidText(const GUID& guid) {
  wchar_t text[64];
  StringFromGUID2(guid, text, 64);
  return narrow(std::wstring(text));
}

std::string memberName(ITypeInfo* info, MEMBERID id) {
  Bstr name;
  info->GetDocumentation(id, name.put(), nullptr, nullptr, nullptr);
  return lumvex::fromBstr(name.get());
}

// One line per identifier, each once: TYPE, VALUE (enumerations) and
// MEMBER (dispatch ids of interfaces and event interfaces).
void logTypeInfo(ITypeInfo* info, std::set<std::string>& seen) {
  TYPEATTR* attr = nullptr;
  if (FAILED(info->GetTypeAttr(&attr))) return;
  const std::string name = memberName(info, MEMBERID_NIL);
  auto once = [&](const std::string& line) {
    if (seen.insert(line).second) logLine(line);
  };
  once("TYPE " + name + " " + std::to_string(attr->typekind) + " " + guidText(attr->guid) + " " +
       std::to_string(attr->wMajorVerNum) + "." + std::to_string(attr->wMinorVerNum));
  for (UINT i = 0; i < attr->cVars; ++i) {
    VARDESC* var = nullptr;
    if (FAILED(info->GetVarDesc(i, &var))) continue;
    if (var->varkind == VAR_CONST && var->lpvarValue)
      once("VALUE " + name + "." + memberName(info, var->memid) + "=" +
           std::to_string(V_I4(var->lpvarValue)));
    info->ReleaseVarDesc(var);
  }
  for (UINT i = 0; i < attr->cFuncs; ++i) {
    FUNCDESC* func = nullptr;
    if (FAILED(info->GetFuncDesc(i, &func))) continue;
    once("MEMBER " + name + "." + memberName(info, func->memid) + " " +
         hex(static_cast<unsigned long>(func->memid)));
    info->ReleaseFuncDesc(func);
  }
  for (UINT i = 0; i < attr->cImplTypes; ++i) {
    HREFTYPE ref = 0;
    ComPtr<ITypeInfo> implemented;
    INT flags = 0;
    if (attr->typekind != TKIND_COCLASS || FAILED(info->GetRefTypeOfImplType(i, &ref)) ||
        FAILED(info->GetRefTypeInfo(ref, implemented.put())) ||
        FAILED(info->GetImplTypeFlags(i, &flags)))
      continue;
    once("IMPLEMENTS " + name + " " + memberName(implemented.get(), MEMBERID_NIL) + " " +
         std::to_string(flags));
  }
  info->ReleaseTypeAttr(attr);
}

int runTypeLib(const std::vector<std::wstring>& args) {
  if (args.size() < 4) return 2;
  ComPtr<ITypeLib> lib;
  HRESULT hr = LoadTypeLibEx(args[3].c_str(), REGKIND_NONE, lib.put());
  logLine("LOAD " + hex(static_cast<unsigned long>(hr)));
  if (FAILED(hr)) return 1;
  TLIBATTR* attr = nullptr;
  if (FAILED(lib->GetLibAttr(&attr))) return 1;
  Bstr name;
  lib->GetDocumentation(-1, name.put(), nullptr, nullptr, nullptr);
  logLine("LIB " + lumvex::fromBstr(name.get()) + " " + guidText(attr->guid) + " " +
          std::to_string(attr->wMajorVerNum) + "." + std::to_string(attr->wMinorVerNum));
  lib->ReleaseTLibAttr(attr);
  std::set<std::string> seen;
  for (UINT i = 0; i < lib->GetTypeInfoCount(); ++i) {
    ComPtr<ITypeInfo> info;
    if (SUCCEEDED(lib->GetTypeInfo(i, info.put()))) logTypeInfo(info.get(), seen);
  }
  logLine("END");
  return 0;
}

// The lvx*.tmp files of the temporary folder (the transfer's content files).
size_t temporaryFiles() {
  wchar_t folder[MAX_PATH + 1] = {};
  GetTempPathW(MAX_PATH, folder);
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((std::wstring(folder) + L"lvx*.tmp").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return 0;
  size_t n = 0;
  do ++n;
  while (FindNextFileW(search, &found));
  FindClose(search);
  return n;
}

int runDownload(const std::vector<std::wstring>& args) {
  if (args.size() < 5) return 2;
  auto opt = options(args, 5);
  if (opt.count("stall")) SetEnvironmentVariableW(L"LUMVEX_STALL_MS", widen(opt["stall"]).c_str());
  logLine("TEMPFILES_BEFORE " + std::to_string(temporaryFiles()));
  ComPtr<IDispatch> control;
  HRESULT hr = createControl(opt.count("ocx") ? opt["ocx"] : "", control);
  logLine("CREATE " + hex(static_cast<unsigned long>(hr)));
  if (FAILED(hr)) return 1;
  initNew(control.get());
  EventLog events;
  events.control = control.get();
  if (opt.count("cancel-at")) events.cancelAt = std::atoi(opt["cancel-at"].c_str());
  if (opt.count("again-on-error")) events.againOnError = widen(opt["again-on-error"]);
  lumvex::EventConnection connection;
  // Teardown while busy: the host lets go of the control in mid-download.
  const int32_t releaseAt = opt.count("release-at") ? std::atoi(opt["release-at"].c_str()) : -1;
  events.onProgress = [&](int32_t bytes) {
    if (releaseAt < 0 || bytes < releaseAt || !control) return;
    connection.disconnect();
    events.control = nullptr;
    control.reset();
    logLine("ACTION Released");
    events.ended = true;
  };
  hr = connection.connect(control.get(), events);
  logLine("ADVISE " + hex(static_cast<unsigned long>(hr)));
  if (opt.count("fail-redirect"))
    putBool(control.get(), dispid::kFailOnRedirect, opt["fail-redirect"] == "1");
  if (opt.count("rename-redirect"))
    putBool(control.get(), dispid::kRenameOnRedirect, opt["rename-redirect"] == "1");
  lumvex::putString(control.get(), dispid::kFileURL, args[3]);
  lumvex::putString(control.get(), dispid::kSaveFilePath, args[4]);
  logLine("SAVEFILENAME " + getAsText(control.get(), dispid::kSaveFileName));
  bool started = false;
  ULONGLONG t0 = GetTickCount64();
  hr = opt.count("wait") ? lumvex::beginDownload(control.get(), true, started)
                         : lumvex::beginDownload(control.get(), started);
  logLine(std::string("BEGIN ") + hex(static_cast<unsigned long>(hr)) + " " +
          (started ? "true" : "false"));
  // Right after the start the size is not known yet: FileSize is the integer 0.
  logLine("FILESIZE_AT_START " + getAsText(control.get(), dispid::kFileSize));
  DWORD timeout =
      opt.count("timeout") ? static_cast<DWORD>(std::atol(opt["timeout"].c_str())) : 120000;
  // With an error, the completion (0) follows; a restarted download ends later.
  bool ok = pumpUntil(
      [&] {
        return events.ended && events.againOnError.empty() &&
               (opt.count("again-on-error") == 0 || events.completes >= 2);
      },
      timeout);
  pumpUntil([] { return false; }, 300);  // anything that would wrongly follow
  logLine("ELAPSED_MS " + std::to_string(GetTickCount64() - t0));
  if (control) logProperties(control.get(), "FINAL ");
  connection.disconnect();
  if (opt.count("linger")) {
    pumpUntil([] { return false; }, static_cast<DWORD>(std::atol(opt["linger"].c_str())));
    logLine("TEMPFILES " + std::to_string(temporaryFiles()));
  }
  logLine(ok ? "END" : "TIMEOUT");
  return ok ? 0 : 1;
}

// ---- hosting in the ActiveX container window class

LRESULT CALLBACK hostProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DESTROY) {
    logLine("WM_DESTROY");
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

std::string pixelAt(HWND window, int x, int y) {
  HDC dc = GetDC(window);
  COLORREF c = GetPixel(dc, x, y);
  ReleaseDC(window, dc);
  char text[16];
  std::snprintf(text, sizeof text, "%02X%02X%02X", GetRValue(c), GetGValue(c), GetBValue(c));
  return text;
}

int runHost(const std::vector<std::wstring>& args) {
  if (args.size() < 5) return 2;
  HMODULE atl = LoadLibraryW(L"atl.dll");
  auto init = atl ? reinterpret_cast<BOOL(WINAPI*)()>(
                        reinterpret_cast<void*>(GetProcAddress(atl, "AtlAxWinInit")))
                  : nullptr;
  auto getControl = atl ? reinterpret_cast<HRESULT(WINAPI*)(HWND, IUnknown**)>(
                              reinterpret_cast<void*>(GetProcAddress(atl, "AtlAxGetControl")))
                        : nullptr;
  if (!init || !getControl || !init()) {
    logLine("NO_ATL");
    return 1;
  }
  WNDCLASSW wc = {};
  wc.lpfnWndProc = hostProc;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszClassName = L"LumvexProbeHost";
  RegisterClassW(&wc);
  HWND top =
      CreateWindowExW(0, L"LumvexProbeHost", L"Lumvex host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 100,
                      100, 440, 160, nullptr, nullptr, wc.hInstance, nullptr);
  ComPtr<IUnknown> unknown;
  ComPtr<IUnknown> container;
  const std::string ocx = args.size() > 5 ? narrow(args[5]) : std::string();
  if (ocx.rfind("ocx=", 0) == 0) {
    // The kit's own way: no registry, the library beside the program.
    HRESULT hr =
        lumvex::createControlFromFile(widen(ocx.substr(4)), IID_IUnknown, unknown.putVoid());
    logLine("CREATE " + hex(static_cast<unsigned long>(hr)));
    if (FAILED(hr)) return 1;
    initNew(unknown.query<IDispatch>(IID_IDispatch).get());
    WNDCLASSW siteClass = {};
    siteClass.lpfnWndProc = DefWindowProcW;
    siteClass.hInstance = wc.hInstance;
    siteClass.lpszClassName = L"LumvexProbeSite";
    RegisterClassW(&siteClass);
    HWND site = CreateWindowExW(0, L"LumvexProbeSite", L"", WS_CHILD | WS_VISIBLE, 20, 30, 380, 40,
                                top, nullptr, wc.hInstance, nullptr);
    hr = lumvex::attachToWindow(unknown.get(), site, container.put());
    logLine("ATTACH " + hex(static_cast<unsigned long>(hr)));
    if (FAILED(hr)) return 1;
  } else {
    // The container creates the control named by its window text.
    HWND ax = CreateWindowExW(0, L"AtlAxWin", L"Lumvex.bkDLControl", WS_CHILD | WS_VISIBLE, 20, 30,
                              380, 40, top, nullptr, wc.hInstance, nullptr);
    logLine(std::string("AXWINDOW ") + (ax ? "ok" : "failed"));
    if (!ax) return 1;
    HRESULT hr = getControl(ax, unknown.put());
    logLine("GETCONTROL " + hex(static_cast<unsigned long>(hr)));
    if (FAILED(hr)) return 1;
  }
  ComPtr<IDispatch> control = unknown.query<IDispatch>(IID_IDispatch);
  ComPtr<IOleWindow> oleWindow = unknown.query<IOleWindow>(IID_IOleWindow);
  HWND controlWindow = nullptr;
  if (oleWindow) oleWindow->GetWindow(&controlWindow);
  RECT rc = {};
  if (controlWindow) GetClientRect(controlWindow, &rc);
  logLine("CONTROLWINDOW " + std::string(controlWindow ? "ok" : "none") + " " +
          std::to_string(rc.right) + "x" + std::to_string(rc.bottom));
  // Strong colours make the bar easy to tell from the background.
  putLong(control.get(), dispid::kForeColor, 0x0000C000);  // green bar
  putLong(control.get(), dispid::kBackColor, 0x00FFFFFF);  // white background
  EventLog events;
  lumvex::EventConnection connection;
  connection.connect(control.get(), events);
  // What the updater does: from the handler of a successful completion it
  // lets go of the control and closes its window.
  if (args.size() > 6 && args[6] == L"close-on-complete") {
    events.onComplete = [&](int32_t bytes) {
      if (bytes <= 0) return;
      connection.disconnect();
      control.reset();
      oleWindow.reset();
      unknown.reset();
      controlWindow = nullptr;
      DestroyWindow(top);  // the container's window goes first, then the container
      container.reset();
      logLine("ACTION Released and closed");
    };
  }
  lumvex::putString(control.get(), dispid::kFileURL, args[3]);
  lumvex::putString(control.get(), dispid::kSaveFilePath, args[4]);
  bool started = false;
  lumvex::beginDownload(control.get(), started);
  logLine(std::string("BEGIN ") + (started ? "true" : "false"));
  bool reported = false;
  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
    // Once the first half has arrived (reports may show part of it first).
    if (!reported && events.lastPercent >= 0.5f && controlWindow) {
      reported = true;
      UpdateWindow(controlWindow);
      GetClientRect(controlWindow, &rc);
      // A quarter in: inside the bar; three quarters in: beyond it.
      logLine("PIXELS " + pixelAt(controlWindow, rc.right / 4, rc.bottom / 2) + " " +
              pixelAt(controlWindow, rc.right * 3 / 4, rc.bottom / 2) + " " +
              std::to_string(events.lastPercent));
    }
  }
  logLine("LOOP ENDED");
  connection.disconnect();
  logLine("END");
  return 0;
}

// ---- persistence

// A property bag that keeps what it is given the way a container's file
// would: objects are saved into streams and loaded back as new objects.
class MemoryBag final : public IPropertyBag {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IPropertyBag)) {
      *out = static_cast<IPropertyBag*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE Read(LPCOLESTR name, VARIANT* value, IErrorLog*) override {
    auto it = values_.find(name);
    if (it == values_.end()) return E_INVALIDARG;
    VariantInit(value);
    if (it->second.object) {
      LARGE_INTEGER zero = {};
      it->second.object->Seek(zero, STREAM_SEEK_SET, nullptr);
      IDispatch* object = nullptr;
      HRESULT hr = OleLoadFromStream(it->second.object.get(), IID_IDispatch,
                                     reinterpret_cast<void**>(&object));
      if (FAILED(hr)) return hr;
      V_VT(value) = VT_DISPATCH;
      V_DISPATCH(value) = object;
      return S_OK;
    }
    return VariantCopy(value, it->second.value.get());
  }
  HRESULT STDMETHODCALLTYPE Write(LPCOLESTR name, VARIANT* value) override {
    Entry& e = values_[name];
    order_.push_back(narrow(std::wstring(name)));
    if (V_VT(value) == VT_DISPATCH || V_VT(value) == VT_UNKNOWN) {
      ComPtr<IPersistStream> persist;
      if (!V_UNKNOWN(value) ||
          FAILED(V_UNKNOWN(value)->QueryInterface(IID_IPersistStream, persist.putVoid())))
        return E_INVALIDARG;
      e.object.reset();
      CreateStreamOnHGlobal(nullptr, TRUE, e.object.put());
      return OleSaveToStream(persist.get(), e.object.get());
    }
    return VariantCopy(e.value.get(), value);
  }
  std::string written() const {
    std::string out;
    for (const std::string& n : order_) out += (out.empty() ? "" : ",") + n;
    return out;
  }
  void clearLog() { order_.clear(); }

 private:
  struct Entry {
    Variant value;
    ComPtr<IStream> object;
  };
  std::map<std::wstring, Entry> values_;
  std::vector<std::string> order_;
};

// A store that cannot be read: every key fails as a broken file would.
class FailingBag final : public IPropertyBag {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    *out = IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IPropertyBag) ? this : nullptr;
    return *out ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE Read(LPCOLESTR, VARIANT*, IErrorLog*) override {
    return STG_E_ACCESSDENIED;
  }
  HRESULT STDMETHODCALLTYPE Write(LPCOLESTR, VARIANT*) override { return STG_E_ACCESSDENIED; }
};

// Records the dispatch ids of the properties the control says have changed.
class ChangeLog final : public IPropertyNotifySink {
 public:
  std::vector<DISPID> changed;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (!out) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IPropertyNotifySink)) {
      *out = static_cast<IPropertyNotifySink*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE OnChanged(DISPID id) override {
    changed.push_back(id);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnRequestEdit(DISPID) override { return S_OK; }
};

int runPersist(const std::vector<std::wstring>& args) {
  if (args.size() < 4) return 2;
  const std::string ocx = narrow(args[3]);
  int failures = 0;
  auto expect = [&](const std::string& what, const std::string& got, const std::string& want) {
    bool same = got == want;
    if (!same) ++failures;
    logLine(std::string(same ? "OK " : "MISMATCH ") + what + " got=" + got + " want=" + want);
  };

  auto dirtiness = [](IDispatch* control) {
    ComPtr<IPersistStreamInit> persist;
    control->QueryInterface(IID_IPersistStreamInit, persist.putVoid());
    return std::string(persist && persist->IsDirty() == S_OK ? "dirty" : "clean");
  };
  ComPtr<IDispatch> first;
  if (FAILED(createControl(ocx, first))) return 1;
  initNew(first.get());
  // The font taken from the container counts as a change to be saved.
  expect("dirty after InitNew", dirtiness(first.get()), "dirty");
  // Nothing changed: only the font (the ambient one) may be written.
  {
    MemoryBag bag;
    ComPtr<IPersistPropertyBag> persist = first.query<IPersistPropertyBag>(IID_IPersistPropertyBag);
    HRESULT hr = persist->Save(&bag, TRUE, TRUE);
    logLine("SAVE_DEFAULTS " + hex(static_cast<unsigned long>(hr)) + " keys=" + bag.written());
  }
  lumvex::putString(first.get(), dispid::kFileURL, L"http://127.0.0.1/update/设置rar.xml");
  lumvex::putString(first.get(), dispid::kSaveFilePath, L"C:\\升级");
  putBool(first.get(), dispid::kFailOnRedirect, true);
  putBool(first.get(), dispid::kRenameOnRedirect, false);
  putBool(first.get(), dispid::kShowProgress, false);
  putLong(first.get(), dispid::kBackColor, 0x00123456);
  putLong(first.get(), dispid::kForeColor, static_cast<LONG>(0x80000008));
  putBool(first.get(), dispid::kEnabled, false);
  VARIANT border;
  VariantInit(&border);
  V_VT(&border) = VT_I2;
  V_I2(&border) = 0;
  lumvex::putProperty(first.get(), dispid::kBorderStyle, border);
  // A font of our own.
  FONTDESC desc = {sizeof(FONTDESC),
                   const_cast<LPOLESTR>(L"Tahoma"),
                   {},
                   FW_BOLD,
                   DEFAULT_CHARSET,
                   TRUE,
                   FALSE,
                   FALSE};
  desc.cySize.int64 = 14 * 10000;
  ComPtr<IFontDisp> font;
  OleCreateFontIndirect(&desc, IID_IFontDisp, font.putVoid());
  VARIANT fontArg;
  VariantInit(&fontArg);
  V_VT(&fontArg) = VT_DISPATCH;
  V_DISPATCH(&fontArg) = font.get();
  HRESULT hr = lumvex::putProperty(first.get(), dispid::kFont, fontArg);
  logLine("PUTREF_FONT " + hex(static_cast<unsigned long>(hr)));

  const char* keys[] = {"BackColor", "ForeColor",    "Enabled",        "Font",        "BorderStyle",
                        "FileURL",   "SaveFilePath", "FailOnRedirect", "ShowProgress"};
  std::map<std::string, std::string> before;
  for (const auto& [name, id] : properties()) before[name] = getAsText(first.get(), id);
  // The stored flag survives although reading the property gives false.
  putBool(first.get(), dispid::kRenameOnRedirect, true);
  expect("RenameOnRedirect read while FailOnRedirect",
         getAsText(first.get(), dispid::kRenameOnRedirect), "BOOL:0");

  // Through a property bag.
  MemoryBag bag;
  ComPtr<IPersistPropertyBag> savePersist =
      first.query<IPersistPropertyBag>(IID_IPersistPropertyBag);
  hr = savePersist->Save(&bag, TRUE, TRUE);
  logLine("SAVE_BAG " + hex(static_cast<unsigned long>(hr)) + " keys=" + bag.written());
  ComPtr<IDispatch> second;
  createControl(ocx, second);
  ComPtr<IPersistPropertyBag> loadPersist =
      second.query<IPersistPropertyBag>(IID_IPersistPropertyBag);
  hr = loadPersist->Load(&bag, nullptr);
  logLine("LOAD_BAG " + hex(static_cast<unsigned long>(hr)));
  expect("dirty after Load", dirtiness(second.get()), "dirty");
  // A store that fails is the container's error, not a silent default.
  {
    ComPtr<IDispatch> other;
    createControl(ocx, other);
    FailingBag broken;
    hr = other.query<IPersistPropertyBag>(IID_IPersistPropertyBag)->Load(&broken, nullptr);
    expect("failing bag refused", hex(static_cast<unsigned long>(hr)),
           hex(static_cast<unsigned long>(STG_E_ACCESSDENIED)));
  }
  for (const char* k : keys) {
    DISPID id = 0;
    for (const auto& [name, pid] : properties())
      if (name == std::string(k)) id = pid;
    expect(std::string("bag ") + k, getAsText(second.get(), id), before[k]);
  }
  // Loaded settings do not derive the target file name.
  expect("bag SaveFileName", getAsText(second.get(), dispid::kSaveFileName), "BSTR:");
  putBool(second.get(), dispid::kFailOnRedirect, false);
  expect("bag RenameOnRedirect stored flag", getAsText(second.get(), dispid::kRenameOnRedirect),
         "BOOL:-1");

  // Through a stream.
  ComPtr<IStream> stream;
  CreateStreamOnHGlobal(nullptr, TRUE, stream.put());
  ComPtr<IPersistStreamInit> streamSave = first.query<IPersistStreamInit>(IID_IPersistStreamInit);
  expect("dirty after save", streamSave->IsDirty() == S_FALSE ? "clean" : "dirty", "clean");
  putBool(first.get(), dispid::kShowProgress, false);
  expect("dirty after assignment", streamSave->IsDirty() == S_OK ? "dirty" : "clean", "dirty");
  hr = streamSave->Save(stream.get(), TRUE);
  logLine("SAVE_STREAM " + hex(static_cast<unsigned long>(hr)));
  LARGE_INTEGER zero = {};
  stream->Seek(zero, STREAM_SEEK_SET, nullptr);
  ComPtr<IDispatch> third;
  createControl(ocx, third);
  ComPtr<IPersistStreamInit> streamLoad = third.query<IPersistStreamInit>(IID_IPersistStreamInit);
  hr = streamLoad->Load(stream.get());
  logLine("LOAD_STREAM " + hex(static_cast<unsigned long>(hr)));
  for (const char* k : keys) {
    DISPID id = 0;
    for (const auto& [name, pid] : properties())
      if (name == std::string(k)) id = pid;
    expect(std::string("stream ") + k, getAsText(third.get(), id), before[k]);
  }
  putBool(third.get(), dispid::kFailOnRedirect, false);
  expect("stream RenameOnRedirect stored flag", getAsText(third.get(), dispid::kRenameOnRedirect),
         "BOOL:-1");

  // A damaged stream is refused, not half applied.
  ComPtr<IStream> junk;
  CreateStreamOnHGlobal(nullptr, TRUE, junk.put());
  ULONG put = 0;
  junk->Write("garbage!", 8, &put);
  junk->Seek(zero, STREAM_SEEK_SET, nullptr);
  ComPtr<IDispatch> fourth;
  createControl(ocx, fourth);
  hr = fourth.query<IPersistStreamInit>(IID_IPersistStreamInit)->Load(junk.get());
  expect("damaged stream refused", FAILED(hr) ? "failed" : "loaded", "failed");

  // Assignments are announced to the container, by dispatch id.
  ChangeLog changes;
  ComPtr<IConnectionPoint> point;
  ComPtr<IConnectionPointContainer> points =
      fourth.query<IConnectionPointContainer>(IID_IConnectionPointContainer);
  DWORD cookie = 0;
  if (points && SUCCEEDED(points->FindConnectionPoint(IID_IPropertyNotifySink, point.put())))
    point->Advise(&changes, &cookie);
  lumvex::putString(fourth.get(), dispid::kFileURL, L"http://h/a.bin");
  putBool(fourth.get(), dispid::kShowProgress, false);
  putLong(fourth.get(), dispid::kForeColor, 255);
  std::string ids;
  for (DISPID id : changes.changed) ids += hex(static_cast<unsigned long>(id)) + " ";
  expect("changes announced", ids, "68030005 68030000 6803000F ");
  if (point) point->Unadvise(cookie);

  // A last separator beyond position 32,767 cannot be held: overflow.
  lumvex::putString(fourth.get(), dispid::kSaveFilePath, L"C:\\x");
  std::wstring longUrl = L"http://h/" + std::wstring(40000, L'a') + L"/x.bin";
  std::wstring error;
  Bstr text(longUrl);
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_BSTR;
  V_BSTR(&v) = text.get();
  hr = lumvex::putProperty(fourth.get(), dispid::kFileURL, v, &error);
  expect("overflow", hex(static_cast<unsigned long>(hr)) + " " + narrow(error),
         "800A0006 Overflow");

  logLine(failures ? "FAILURES " + std::to_string(failures) : "END");
  return failures ? 1 : 0;
}

int runBench(const std::vector<std::wstring>& args) {
  if (args.size() < 6) return 2;
  ComPtr<IDispatch> control;
  HRESULT hr = createControl(narrow(args[5]), control);
  if (FAILED(hr)) return 1;
  initNew(control.get());
  EventLog events;
  lumvex::EventConnection connection;
  connection.connect(control.get(), events);
  lumvex::putString(control.get(), dispid::kFileURL, args[3]);
  lumvex::putString(control.get(), dispid::kSaveFilePath, args[4]);
  LARGE_INTEGER f, a, b;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&a);
  bool saved = false;
  hr = lumvex::beginDownload(control.get(), true, saved);
  QueryPerformanceCounter(&b);
  double seconds = static_cast<double>(b.QuadPart - a.QuadPart) / static_cast<double>(f.QuadPart);
  PROCESS_MEMORY_COUNTERS pmc = {};
  pmc.cb = sizeof pmc;
  GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc);
  char text[256];
  std::snprintf(text, sizeof text, "BENCH saved=%d seconds=%.3f peak_working_set_mib=%.1f",
                saved ? 1 : 0, seconds,
                static_cast<double>(pmc.PeakWorkingSetSize) / (1024.0 * 1024.0));
  logLine(text);
  connection.disconnect();
  logLine("END");
  return saved ? 0 : 1;
}

}  // namespace

int main() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::vector<std::wstring> args(argv, argv + argc);
  LocalFree(argv);
  if (args.size() < 3) return 2;
  gLog = _wfopen(args[2].c_str(), L"wb");
  if (!gLog) return 2;
  if (FAILED(OleInitialize(nullptr))) return 1;
  int rc = 2;
  const std::wstring& command = args[1];
  if (command == L"defaults")
    rc = runDefaults();
  else if (command == L"typelib")
    rc = runTypeLib(args);
  else if (command == L"download")
    rc = runDownload(args);
  else if (command == L"host")
    rc = runHost(args);
  else if (command == L"persist")
    rc = runPersist(args);
  else if (command == L"bench")
    rc = runBench(args);
  OleUninitialize();
  std::fclose(gLog);
  return rc;
}
