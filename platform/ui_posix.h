#pragma once
// The UI services on POSIX: no windows. A message box writes its title and
// text to the given stream (standard error by default) and answers the
// default button of its button set (MB_DEFBUTTON2/3 honoured); the beep and
// the event pump do nothing.
#include <iosfwd>

#include "platform/ui.h"

namespace plat {

class PosixUi : public Ui {
 public:
  explicit PosixUi(std::ostream& out);
  int messageBox(const std::string& text, int style, const std::string& title) override;
  void beep() override {}
  void pumpEvents() override {}

 private:
  std::ostream& out_;
};

// The answer a message box of `style` gives when nobody chooses.
int defaultButton(int style);

}  // namespace plat
