#include <unicode/ucol.h>

#include <memory>
#include <stdexcept>

#include "db/collation.h"

namespace db {
namespace {

struct CollatorCloser {
  void operator()(UCollator* c) const { ucol_close(c); }
};

UCollator* collator() {
  static const std::unique_ptr<UCollator, CollatorCloser> coll = [] {
    UErrorCode status = U_ZERO_ERROR;
    UCollator* c = ucol_open("zh_CN", &status);
    if (U_FAILURE(status)) throw std::runtime_error("cannot open the zh_CN collator");
    return std::unique_ptr<UCollator, CollatorCloser>(c);
  }();
  return coll.get();
}

}  // namespace

int compareZhCn(std::string_view a, std::string_view b) {
  if (const int fast = compareAsciiFast(a, b); fast != kNoFastAnswer) return fast;
  UErrorCode status = U_ZERO_ERROR;
  const UCollationResult r = ucol_strcollUTF8(collator(), a.data(), static_cast<int32_t>(a.size()), b.data(),
                                              static_cast<int32_t>(b.size()), &status);
  if (U_FAILURE(status)) return a.compare(b);
  return r == UCOL_LESS ? -1 : (r == UCOL_GREATER ? 1 : 0);
}

}  // namespace db
