#pragma once
// Pieces both download windows (Rundrel's and the updater's) build from:
// the screen's DPI, their 9-point GB2312 font, standard child controls in
// that font, and the status list box behind rtd::LogView.
// <windows.h> must come first.
// clang-format off
#include <windows.h>
// clang-format on

#include <string>

namespace rtd::win {

// Logical pixels per inch of the screen; 96 when it cannot be read.
int screenDpi();

// The windows' font at `points` for `dpi`, character set GB2312.
HFONT createWindowFont(const wchar_t* face, int points, int dpi);

// A visible child window with control id `id`, in `font` when there is one.
HWND createChild(HWND parent, HINSTANCE instance, const wchar_t* cls, const wchar_t* text,
                 DWORD style, int id, int x, int y, int w, int h, HFONT font);

// The status list: a list box holding the log lines. A missing list (null)
// keeps nothing: -1 for an appended line, 0 for the top index.
int appendListLine(HWND list, const std::string& line);
int listTopIndex(HWND list);
void setListTopIndex(HWND list, int index);

}  // namespace rtd::win
