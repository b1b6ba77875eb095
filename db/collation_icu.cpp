#include <unicode/ucol.h>
#include <unicode/utypes.h>

#include <memory>
#include <string>

#include "db/collation.h"
#include "db/database.h"

namespace db {
namespace {

struct CollatorCloser {
  void operator()(UCollator* c) const { ucol_close(c); }
};

struct Collator {
  std::unique_ptr<UCollator, CollatorCloser> coll;
  UErrorCode status = U_ZERO_ERROR;
};

const Collator& collator() {
  static const Collator c = [] {
    Collator r;
    UCollator* h = ucol_open("zh_CN", &r.status);
    if (U_SUCCESS(r.status)) r.coll.reset(h);
    return r;
  }();
  return c;
}

}  // namespace

void requireZhCn() {
  const Collator& c = collator();
  if (!c.coll)
    throw DbError(kErrEngine,
                  std::string("Cannot open the zh_CN collation: ") + u_errorName(c.status) + ".");
}

int compareZhCn(std::string_view a, std::string_view b) {
  if (const int fast = compareAsciiFast(a, b); fast != kNoFastAnswer) return fast;
  UCollator* coll = collator().coll.get();
  if (!coll) return a.compare(b);
  UErrorCode status = U_ZERO_ERROR;
  const UCollationResult r = ucol_strcollUTF8(coll, a.data(), static_cast<int32_t>(a.size()),
                                              b.data(), static_cast<int32_t>(b.size()), &status);
  if (U_FAILURE(status)) return a.compare(b);
  return r == UCOL_LESS ? -1 : (r == UCOL_GREATER ? 1 : 0);
}

}  // namespace db
