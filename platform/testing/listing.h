#pragma once
// The names a directory listing gives, for the platform tests on both sides.
#include <string>
#include <vector>

#include "platform/filesystem.h"

namespace plat::testing {

using Names = std::vector<std::string>;

// Every name a listing gives, in its order.
inline Names drain(DirListing& l) {
  Names names;
  for (std::string n = l.next(); !n.empty(); n = l.next()) names.push_back(n);
  return names;
}

}  // namespace plat::testing
