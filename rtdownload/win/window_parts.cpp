#include "rtdownload/win/window_parts.h"

#include "platform/win/wide.h"

namespace rtd::win {

int screenDpi() {
  int dpi = 96;
  HDC screen = GetDC(nullptr);
  if (screen) {
    dpi = GetDeviceCaps(screen, LOGPIXELSX);
    ReleaseDC(nullptr, screen);
  }
  return dpi > 0 ? dpi : 96;
}

HFONT createWindowFont(const wchar_t* face, int points, int dpi) {
  return CreateFontW(-MulDiv(points, dpi, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                     GB2312_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                     DEFAULT_PITCH, face);
}

HWND createChild(HWND parent, HINSTANCE instance, const wchar_t* cls, const wchar_t* text,
                 DWORD style, int id, int x, int y, int w, int h, HFONT font) {
  HWND c = CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
  if (c && font) SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  return c;
}

int appendListLine(HWND list, const std::string& line) {
  if (!list) return -1;
  return static_cast<int>(SendMessageW(list, LB_ADDSTRING, 0,
                                       reinterpret_cast<LPARAM>(plat::win::widen(line).c_str())));
}

int listTopIndex(HWND list) {
  return list ? static_cast<int>(SendMessageW(list, LB_GETTOPINDEX, 0, 0)) : 0;
}

void setListTopIndex(HWND list, int index) {
  if (list) SendMessageW(list, LB_SETTOPINDEX, static_cast<WPARAM>(index), 0);
}

}  // namespace rtd::win
