#pragma once
// Which numbered error a call threw: the platform's (plat::PlatformError)
// and the database layer's (db::DbError) carry the number the hosts know.
// Header-only, so the Windows test programs can use it too.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "db/database.h"
#include "platform/error.h"

namespace testsupport {

// The number `f` throws, or 0 when it returns normally. A numbered error
// must also say what went wrong: an empty description fails the test.
// Other exceptions pass through (GoogleTest reports them).
//   EXPECT_EQ(errorNumber([&] { fs.deleteFile(p); }), plat::kErrFileNotFound);
template <typename F>
int errorNumber(F&& f) {
  try {
    std::forward<F>(f)();
  } catch (const plat::PlatformError& e) {
    EXPECT_FALSE(std::string(e.what()).empty()) << "error " << e.number();
    return e.number();
  } catch (const db::DbError& e) {
    EXPECT_FALSE(std::string(e.what()).empty()) << "error " << e.number();
    return e.number();
  }
  return 0;
}

}  // namespace testsupport
