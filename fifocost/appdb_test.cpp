#include "fifocost/appdb.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/support/temp_folder.h"

namespace {

namespace fs = std::filesystem;

TEST(AppDatabase, IsFoundWhateverTheLetterCaseOfItsName) {
  const testsupport::TempFolder temp("appdb");
  const fs::path& dir = temp.path();
  EXPECT_EQ(fifocost::findBesideProgram(dir.string()), (dir / "Velmora.DLL").string());
  std::ofstream(dir / "velmora.dll") << "x";
  std::ofstream(dir / "VELMORA.dll") << "x";
  std::ofstream(dir / "Velmora.DLLX") << "x";
  EXPECT_EQ(fifocost::findBesideProgram(dir.string()), (dir / "VELMORA.dll").string());
  std::ofstream(dir / "Velmora.DLL") << "x";
  EXPECT_EQ(fifocost::findBesideProgram(dir.string()), (dir / "Velmora.DLL").string());
}

}  // namespace
