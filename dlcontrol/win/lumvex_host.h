#pragma once
// For programs that host the download control (the updater and the runtime
// downloader): create it registration-free from Lumvex.ocx in the program
// folder, place it on a window, receive its events as dl::ControlEvents
// calls, and reach its members by dispatch id.
//
// Call everything on the window thread that created the control; the thread
// must be in a single-threaded apartment (OleInitialize) and pump messages.
#include <ocidl.h>
#include <ole2.h>

#include <string>

#include "dlcontrol/engine.h"
#include "dlcontrol/win/com_ptr.h"

namespace lumvex {

// Dispatch ids of _bkDLControl: a binary contract, never renumbered.
namespace dispid {
inline constexpr DISPID kShowProgress = 0x68030000;
inline constexpr DISPID kRenameOnRedirect = 0x68030001;
inline constexpr DISPID kFailOnRedirect = 0x68030002;
inline constexpr DISPID kSaveFilePath = 0x68030003;
inline constexpr DISPID kSaveFileName = 0x68030004;
inline constexpr DISPID kFileURL = 0x68030005;
inline constexpr DISPID kFileSize = 0x68030006;
inline constexpr DISPID kRedirectFile = 0x68030007;
inline constexpr DISPID kMIMEType = 0x68030008;
inline constexpr DISPID kConnectionAddress = 0x68030009;
inline constexpr DISPID kCacheFile = 0x6803000A;
inline constexpr DISPID kBytesRead = 0x6803000B;
inline constexpr DISPID kBorderStyle = 0x6803000C;
inline constexpr DISPID kFont = 0x6803000D;
inline constexpr DISPID kEnabled = 0x6803000E;
inline constexpr DISPID kForeColor = 0x6803000F;
inline constexpr DISPID kBackColor = 0x68030010;
inline constexpr DISPID kRefresh = 0x60030011;
inline constexpr DISPID kBeginDownload = 0x6003001E;
inline constexpr DISPID kCancelDownload = 0x60030021;
}  // namespace dispid

// Loads the control library from `ocxPath` (it stays loaded for the life of
// the process) and creates one control through its class object, without
// the registry. The new control has had no InitNew or Load yet.
HRESULT createControlFromFile(const std::wstring& ocxPath, REFIID iid, void** out);

// The program's own folder + "\Lumvex.ocx".
std::wstring controlBesideProgram();

// The way both programs carry the control: created from the program folder's
// Lumvex.ocx, initialised new, without a border and in the given font
// (character set GB2312). Not yet on a window: see attachToWindow.
HRESULT createBorderlessControl(const wchar_t* fontFace, int fontPoints, IDispatch** out);

// Places the control on `window` (typically a child window the size of the
// control) through the system's ActiveX container (atl.dll's
// AtlAxAttachControl), which activates it in place. `container` receives the
// container object; releasing it (or destroying the window) removes the
// control. Call InitNew or Load on the control first.
HRESULT attachToWindow(IUnknown* control, HWND window, IUnknown** container);

// Delivers the control's events, decoded, to a dl::ControlEvents.
class EventConnection {
 public:
  EventConnection() = default;
  ~EventConnection() { disconnect(); }
  EventConnection(const EventConnection&) = delete;
  EventConnection& operator=(const EventConnection&) = delete;

  // `handler` must outlive the connection.
  HRESULT connect(IUnknown* control, dl::ControlEvents& handler);
  void disconnect();

 private:
  ComPtr<IConnectionPoint> point_;
  ComPtr<IDispatch> sink_;
  DWORD cookie_ = 0;
};

// Late-bound member access by dispatch id. Failures come back as HRESULTs;
// `error` (optional) receives the control's error description.
HRESULT putProperty(IDispatch* control, DISPID id, const VARIANT& value,
                    std::wstring* error = nullptr);
HRESULT getProperty(IDispatch* control, DISPID id, VARIANT* value, std::wstring* error = nullptr);
HRESULT putString(IDispatch* control, DISPID id, const std::wstring& value,
                  std::wstring* error = nullptr);
HRESULT getString(IDispatch* control, DISPID id, std::wstring& value);
HRESULT callMethod(IDispatch* control, DISPID id, VARIANT* args, UINT count, VARIANT* result,
                   std::wstring* error = nullptr);
// BeginDownload without an argument, or with Wait.
HRESULT beginDownload(IDispatch* control, bool& started);
HRESULT beginDownload(IDispatch* control, bool wait, bool& started);

}  // namespace lumvex
