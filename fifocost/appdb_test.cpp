#include "fifocost/appdb.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace {

namespace fs = std::filesystem;

TEST(AppDatabase, IsFoundWhateverTheLetterCaseOfItsName) {
  const fs::path dir = fs::temp_directory_path() / ("appdb_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  EXPECT_EQ(fifocost::findBesideProgram(dir.string()), (dir / "Velmora.DLL").string());
  std::ofstream(dir / "velmora.dll") << "x";
  std::ofstream(dir / "VELMORA.dll") << "x";
  std::ofstream(dir / "Velmora.DLLX") << "x";
  EXPECT_EQ(fifocost::findBesideProgram(dir.string()), (dir / "VELMORA.dll").string());
  std::ofstream(dir / "Velmora.DLL") << "x";
  EXPECT_EQ(fifocost::findBesideProgram(dir.string()), (dir / "Velmora.DLL").string());
  fs::remove_all(dir);
}

}  // namespace
