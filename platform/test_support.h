#pragma once
// Small helpers shared by the platform tests on both sides.
#include <functional>
#include <string>
#include <vector>

#include "platform/error.h"
#include "platform/filesystem.h"

namespace plat::testing {

using Names = std::vector<std::string>;

// The platform error number `f` throws, or 0 when it throws none.
inline int errorNumber(const std::function<void()>& f) {
  try {
    f();
  } catch (const PlatformError& e) {
    return e.number();
  }
  return 0;
}

// Every name a listing gives, in its order.
inline Names drain(DirListing& l) {
  Names names;
  for (std::string n = l.next(); !n.empty(); n = l.next()) names.push_back(n);
  return names;
}

}  // namespace plat::testing
