#include "dlcontrol/win/win_font.h"

#include <cstdlib>

#include "platform/win/gdi.h"

namespace lumvex {

ComPtr<IFontDisp> createDefaultFont() {
  LOGFONTW lf = {};
  GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof lf, &lf);
  if (!lf.lfFaceName[0]) lstrcpynW(lf.lfFaceName, L"MS Shell Dlg", LF_FACESIZE);
  const int dpi = plat::win::screenDpi();
  LONG pixels = lf.lfHeight ? std::labs(lf.lfHeight) : 11;
  FONTDESC desc = {};
  desc.cbSizeofstruct = sizeof desc;
  desc.lpstrName = lf.lfFaceName;
  desc.cySize.int64 = static_cast<LONGLONG>(pixels) * 72 * 10000 / dpi;
  desc.sWeight = static_cast<SHORT>(lf.lfWeight ? lf.lfWeight : FW_NORMAL);
  desc.sCharset = lf.lfCharSet;
  desc.fItalic = lf.lfItalic != 0;
  desc.fUnderline = lf.lfUnderline != 0;
  desc.fStrikethrough = lf.lfStrikeOut != 0;
  ComPtr<IFontDisp> font;
  OleCreateFontIndirect(&desc, IID_IFontDisp, font.putVoid());
  return font;
}

bool sameFont(const dl::FontPtr& a, const dl::FontPtr& b) {
  ComPtr<IFontDisp> da = fontDispOf(a), db = fontDispOf(b);
  if (!da || !db) return !da && !db;
  if (da.get() == db.get()) return true;
  ComPtr<IFont> fa = da.query<IFont>(IID_IFont), fb = db.query<IFont>(IID_IFont);
  return fa && fb && fa->IsEqual(fb.get()) == S_OK;
}

}  // namespace lumvex
