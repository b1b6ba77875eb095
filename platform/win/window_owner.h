#pragma once
// The window procedure of a window owned by an object: the object passes
// itself as CreateWindowExW's last argument and gets its messages in a
// member function. Once the object has let go of the window (its handle
// member no longer names it), the window's last messages go to the default
// procedure and reach nothing of the object's.
// <windows.h> must come first.
// clang-format off
#include <windows.h>
// clang-format on

namespace plat::win {

// Use from the owner's static window procedure, which may name its private
// members: return routeToOwner<Owner, &Owner::hwnd_, &Owner::handle>(hwnd, msg, wp, lp);
template <class Owner, HWND Owner::*Window, LRESULT (Owner::*Handle)(UINT, WPARAM, LPARAM)>
LRESULT routeToOwner(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_NCCREATE) {
    auto* creator = static_cast<Owner*>(reinterpret_cast<const CREATESTRUCTW*>(lp)->lpCreateParams);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(creator));
    creator->*Window = hwnd;
  }
  auto* self = reinterpret_cast<Owner*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (!self || self->*Window != hwnd) return DefWindowProcW(hwnd, msg, wp, lp);
  return (self->*Handle)(msg, wp, lp);
}

}  // namespace plat::win
