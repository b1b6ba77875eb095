#pragma once
// A fresh temporary folder per test, removed with everything in it.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace plat::testing {

class TempFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    char templ[] = "/tmp/kit-plat-XXXXXX";
    ASSERT_NE(::mkdtemp(templ), nullptr);
    root_ = templ;
  }
  void TearDown() override {
    // Restore write permission everywhere so that the removal cannot fail.
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(root_, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      if (!it->is_symlink()) ::chmod(it->path().c_str(), 0755);
    }
    std::filesystem::remove_all(root_, ec);
  }

  std::string path(const std::string& rel) const { return root_ + "/" + rel; }
  void put(const std::string& rel, const std::string& bytes) const {
    std::ofstream(path(rel), std::ios::binary) << bytes;
  }
  std::string get(const std::string& rel) const {
    std::ifstream in(path(rel), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  std::string root_;
};

}  // namespace plat::testing
