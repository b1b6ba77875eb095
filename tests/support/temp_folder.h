#pragma once
// A fresh folder for one test, removed with everything in it at the end.
// Native tests only; one thread.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace testsupport {

namespace fs = std::filesystem;

// Removes `folder` with everything in it, giving write permission back
// first (tests and programs make files and folders read-only; the hidden and
// system bits the platform keeps do not hinder removal). Never fails.
void removeTree(const fs::path& folder);

// A unique folder under the system's temporary folder (mkdtemp), named
// <prefix>-XXXXXX, removed by the destructor with removeTree (KIT_KEEP_TEMP=1
// keeps it for a look after a failure). Throws std::runtime_error when no
// folder can be made.
class TempFolder {
 public:
  explicit TempFolder(const std::string& prefix = "kit");
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const fs::path& path() const { return path_; }
  // A path inside; `relative` is UTF-8 and may hold sub-folders.
  fs::path file(const std::string& relative) const { return path_ / fs::u8path(relative); }
  void write(const std::string& relative, const std::string& bytes) const;
  std::string read(const std::string& relative) const;

 private:
  fs::path path_;
};

// A GoogleTest fixture owning a TempFolder for each test.
class TempFolderTest : public ::testing::Test {
 protected:
  std::string path(const std::string& relative) const { return temp_.file(relative).string(); }
  void write(const std::string& relative, const std::string& bytes) const {
    temp_.write(relative, bytes);
  }
  std::string read(const std::string& relative) const { return temp_.read(relative); }

  TempFolder temp_;
  const std::string root_ = temp_.path().string();
};

}  // namespace testsupport
