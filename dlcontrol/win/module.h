#pragma once
// Module-wide state of the control library: its instance handle and the
// count of live objects and server locks that DllCanUnloadNow reports.
#include <windows.h>

#include <string>

namespace lumvex {

HINSTANCE moduleInstance();
// Full path of Lumvex.ocx as loaded (where its type library resource is).
std::wstring modulePath();

void moduleAddRef();
void moduleRelease();
long moduleCount();

// Registers a window class of this library once; the classes are
// unregistered when the library may unload, so that a later load at another
// address registers them afresh. False when registration failed.
bool ensureWindowClass(const wchar_t* name, WNDPROC proc, UINT style);

// RAII: keeps the library loaded while an object lives.
class ModuleRef {
 public:
  ModuleRef() { moduleAddRef(); }
  ModuleRef(const ModuleRef&) = delete;
  ModuleRef& operator=(const ModuleRef&) = delete;
  ~ModuleRef() { moduleRelease(); }
};

}  // namespace lumvex
