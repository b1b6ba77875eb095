#pragma once
// The control's font object on Windows: the engine passes fonts around as
// dl::FontPtr; here they are standard OLE font objects (IFontDisp).
#include <ole2.h>
#include <olectl.h>

#include <memory>

#include "dlcontrol/engine.h"
#include "dlcontrol/win/com_ptr.h"

namespace lumvex {

class WinFont final : public dl::FontObject {
 public:
  explicit WinFont(ComPtr<IFontDisp> font) : font_(std::move(font)) {}
  IFontDisp* get() const { return font_.get(); }

 private:
  ComPtr<IFontDisp> font_;
};

inline dl::FontPtr wrapFont(ComPtr<IFontDisp> font) {
  if (!font) return nullptr;
  return std::make_shared<WinFont>(std::move(font));
}

// A new reference to the OLE font behind `font` (empty when there is none).
inline ComPtr<IFontDisp> fontDispOf(const dl::FontPtr& font) {
  auto* win = dynamic_cast<WinFont*>(font.get());
  return win ? ComPtr<IFontDisp>::share(win->get()) : ComPtr<IFontDisp>();
}

// The font of dialogs and controls on this system, used when the container
// offers no ambient font.
ComPtr<IFontDisp> createDefaultFont();

// True when both are OLE fonts that describe the same font.
bool sameFont(const dl::FontPtr& a, const dl::FontPtr& b);

}  // namespace lumvex
