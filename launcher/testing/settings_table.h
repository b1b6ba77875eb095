#pragma once
// The application database's settings table read with plain SQLite, not
// through the layer under test (tests/support/sql.h).
#include <filesystem>
#include <string>

#include "tests/support/sql.h"

namespace launcher::testing {

using testsupport::runSql;

// yearnew, appath, path and dbpath of the first usysbookind row ("NULL" for
// an empty field); empty when the file or the row is not there.
inline testsupport::Row settingsRow(const std::filesystem::path& file) {
  return testsupport::queryRow(file, "SELECT yearnew, appath, path, dbpath FROM usysbookind");
}

}  // namespace launcher::testing
