#include <windows.h>

#include <string>

#include "db/collation.h"

namespace db {
namespace {

std::wstring widen(std::string_view s) {
  if (s.empty()) return {};
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

}  // namespace

// CompareStringEx needs nothing opened; a missing locale gives byte order.
void requireZhCn() {}

int compareZhCn(std::string_view a, std::string_view b) {
  if (const int fast = compareAsciiFast(a, b); fast != kNoFastAnswer) return fast;
  const std::wstring wa = widen(a), wb = widen(b);
  const int r = CompareStringEx(L"zh-CN", 0, wa.data(), static_cast<int>(wa.size()), wb.data(),
                                static_cast<int>(wb.size()), nullptr, nullptr, 0);
  if (r == 0) return a.compare(b);  // locale missing: byte order rather than no order
  return r - CSTR_EQUAL;
}

}  // namespace db
