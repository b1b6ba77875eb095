// Message boxes on a system without windows (see ui_posix.h).
#include "platform/ui_posix.h"

#include <iostream>

namespace plat {

int defaultButton(int style) {
  // Buttons of each set in their order on the box (IDOK 1, IDCANCEL 2,
  // IDABORT 3, IDRETRY 4, IDIGNORE 5, IDYES 6, IDNO 7, IDTRYAGAIN 10,
  // IDCONTINUE 11).
  static const int kSets[][3] = {{1, 0, 0}, {1, 2, 0}, {3, 4, 5},  {6, 7, 2},
                                 {6, 7, 0}, {4, 2, 0}, {2, 10, 11}};
  static const int kCounts[] = {1, 2, 3, 3, 2, 2, 3};
  int set = style & 0x0F;
  if (set > 6) set = 0;
  int index = (style >> 8) & 0x0F;  // MB_DEFBUTTON2 0x100, MB_DEFBUTTON3 0x200
  if (index >= kCounts[set]) index = 0;
  return kSets[set][index];
}

PosixUi::PosixUi(std::ostream& out) : out_(out) {}

int PosixUi::messageBox(const std::string& text, int style, const std::string& title) {
  out_ << "[" << title << "] " << text << std::endl;
  return defaultButton(style);
}

std::unique_ptr<Ui> makeNativeUi() {
  return std::make_unique<PosixUi>(std::cerr);
}

}  // namespace plat
