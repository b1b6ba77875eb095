#include "platform/filesystem_posix.h"

#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <filesystem>

#include "platform/error.h"
#include "platform/testing/listing.h"
#include "tests/support/errors.h"
#include "tests/support/temp_folder.h"

namespace plat {
namespace {

using testing::drain;
using testing::Names;
using testsupport::errorNumber;

class PosixFileSystemTest : public testsupport::TempFolderTest {
 protected:
  void SetUp() override {
    fs_ = std::make_unique<PosixFileSystem>(PosixPathMap({{'d', root_}}), "D:\\Windows\\system32",
                                            "D:\\Shop");
  }
  std::string storedBits(const std::string& rel) {
    char buf[32] = {};
    const ssize_t n = ::getxattr(path(rel).c_str(), kDosAttrName, buf, sizeof buf - 1);
    return n < 0 ? std::string("none") : std::string(buf, static_cast<size_t>(n));
  }
  std::unique_ptr<PosixFileSystem> fs_;
};

TEST(PosixPathMap, DriveLettersMapThroughTheTable) {
  PosixPathMap m({{'C', "/srv/c"}, {'e', "/mnt/e/"}});
  EXPECT_EQ(m.toNative("C:\\Program Files\\a.exe"), "/srv/c/Program Files/a.exe");
  EXPECT_EQ(m.toNative("c:\\system.mdw"), "/srv/c/system.mdw");
  EXPECT_EQ(m.toNative("E:\\x\\\\y"), "/mnt/e/x//y");
  EXPECT_EQ(m.toNative("E:"), "/mnt/e/");
  EXPECT_EQ(m.toNative("C:\\"), "/srv/c/");
  EXPECT_EQ(m.toNative("/usr/bin\\env"), "/usr/bin/env");
  EXPECT_EQ(errorNumber([&] { m.toNative("Q:\\x"); }), kErrPathNotFound);
}

TEST_F(PosixFileSystemTest, FileExistsUsesTheNormalAttributeMask) {
  write("plain.txt", "x");
  write("hidden.txt", "x");
  write("system.txt", "x");
  write("readonly.txt", "x");
  ::mkdir(path("folder").c_str(), 0755);
  fs_->setAttributes("D:\\hidden.txt", attr::kHidden);
  fs_->setAttributes("D:\\system.txt", attr::kSystem);
  fs_->setAttributes("D:\\readonly.txt", attr::kReadOnly | attr::kArchive);
  EXPECT_TRUE(fs_->fileExists("D:\\plain.txt"));
  EXPECT_TRUE(fs_->fileExists("d:\\readonly.txt"));
  EXPECT_FALSE(fs_->fileExists("D:\\hidden.txt"));
  EXPECT_FALSE(fs_->fileExists("D:\\system.txt"));
  EXPECT_FALSE(fs_->fileExists("D:\\folder"));
  EXPECT_FALSE(fs_->fileExists("D:\\missing.txt"));
  EXPECT_FALSE(fs_->fileExists("D:\\nofolder\\plain.txt"));
  EXPECT_FALSE(fs_->fileExists("Q:\\plain.txt"));
  EXPECT_FALSE(fs_->fileExists(""));
  // Hiding is stored as an extended attribute; the file itself is unchanged.
  EXPECT_EQ(storedBits("hidden.txt"), "2");
  EXPECT_EQ(read("hidden.txt"), "x");
}

TEST_F(PosixFileSystemTest, AttributesOfFilesAndFolders) {
  write("f", "x");
  ::mkdir(path("dir").c_str(), 0755);
  EXPECT_EQ(fs_->getAttributes("D:\\missing"), attr::kInvalid);
  EXPECT_EQ(fs_->getAttributes("Q:\\f"), attr::kInvalid);
  EXPECT_EQ(fs_->getAttributes("D:\\f"), attr::kArchive);  // never set: freshly written
  EXPECT_EQ(fs_->getAttributes("D:\\dir"), attr::kDirectory);

  fs_->setAttributes("D:\\f", 7);
  EXPECT_EQ(fs_->getAttributes("D:\\f"), 7u);
  struct stat st {};
  ::stat(path("f").c_str(), &st);
  EXPECT_EQ(st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH), 0u);  // read-only is the write bits
  fs_->setAttributes("D:\\f", attr::kNormal);
  EXPECT_EQ(fs_->getAttributes("D:\\f"), attr::kFileNormal);
  ::stat(path("f").c_str(), &st);
  EXPECT_NE(st.st_mode & S_IWUSR, 0u);

  // A read-only, hidden, system folder still takes new files, as on Windows.
  fs_->setAttributes("D:\\dir", 7);
  EXPECT_EQ(fs_->getAttributes("D:\\dir\\"), 16u | 7u);
  fs_->writeFile("D:\\dir\\inside.bar", "db");
  EXPECT_EQ(read("dir/inside.bar"), "db");
  fs_->setAttributes("D:\\dir", 0);
  EXPECT_EQ(fs_->getAttributes("D:\\dir"), attr::kDirectory);
  EXPECT_EQ(storedBits("dir"), "none");

  EXPECT_EQ(errorNumber([&] { fs_->setAttributes("D:\\missing", 0); }), kErrFileNotFound);
}

TEST_F(PosixFileSystemTest, CopyOverwritesButNotReadOnlyOrHiddenTargets) {
  write("src", "new content");
  write("dst", "old old old old old");
  fs_->copyFile("D:\\src", "D:\\dst");
  EXPECT_EQ(read("dst"), "new content");

  write("ro", "keep");
  fs_->setAttributes("D:\\ro", attr::kReadOnly);
  EXPECT_EQ(errorNumber([&] { fs_->copyFile("D:\\src", "D:\\ro"); }), kErrPathFileAccess);
  EXPECT_EQ(read("ro"), "keep");
  write("hid", "keep");
  fs_->setAttributes("D:\\hid", attr::kHidden);
  EXPECT_EQ(errorNumber([&] { fs_->copyFile("D:\\src", "D:\\hid"); }), kErrPathFileAccess);
  EXPECT_EQ(read("hid"), "keep");

  EXPECT_EQ(errorNumber([&] { fs_->copyFile("D:\\none", "D:\\x"); }), kErrFileNotFound);
  EXPECT_EQ(errorNumber([&] { fs_->copyFile("D:\\gone\\none", "D:\\x"); }), kErrPathNotFound);
  EXPECT_EQ(errorNumber([&] { fs_->copyFile("D:\\src", "D:\\gone\\x"); }), kErrPathNotFound);
  EXPECT_EQ(errorNumber([&] { fs_->copyFile("Q:\\src", "D:\\x"); }), kErrPathNotFound);
  // Onto itself: refused, never truncated.
  EXPECT_EQ(errorNumber([&] { fs_->copyFile("D:\\src", "D:\\.\\src"); }), kErrPermissionDenied);
  EXPECT_EQ(read("src"), "new content");
}

TEST_F(PosixFileSystemTest, CopyCarriesTheSourceAttributes) {
  write("src", "x");
  fs_->setAttributes("D:\\src", attr::kReadOnly | attr::kHidden);
  fs_->copyFile("D:\\src", "D:\\copy");
  EXPECT_EQ(fs_->getAttributes("D:\\copy"), attr::kReadOnly | attr::kHidden | attr::kArchive);
  EXPECT_EQ(read("copy"), "x");
}

TEST_F(PosixFileSystemTest, DeleteRefusesReadOnlyFilesAndFolders) {
  write("ro", "x");
  write("hidden", "x");
  ::mkdir(path("dir").c_str(), 0755);
  fs_->setAttributes("D:\\ro", attr::kReadOnly);
  fs_->setAttributes("D:\\hidden", attr::kHidden);
  EXPECT_EQ(errorNumber([&] { fs_->deleteFile("D:\\ro"); }), kErrPathFileAccess);
  EXPECT_TRUE(std::filesystem::exists(path("ro")));
  EXPECT_EQ(errorNumber([&] { fs_->deleteFile("D:\\dir"); }), kErrPathFileAccess);
  EXPECT_EQ(errorNumber([&] { fs_->deleteFile("D:\\none"); }), kErrFileNotFound);
  EXPECT_EQ(errorNumber([&] { fs_->deleteFile("D:\\gone\\none"); }), kErrPathNotFound);
  fs_->deleteFile("D:\\hidden");
  EXPECT_FALSE(std::filesystem::exists(path("hidden")));
  fs_->setAttributes("D:\\ro", 0);
  fs_->deleteFile("D:\\ro");
  EXPECT_FALSE(std::filesystem::exists(path("ro")));
}

TEST_F(PosixFileSystemTest, MakeAndRemoveFolders) {
  fs_->makeFolder("D:\\temp");
  EXPECT_TRUE(std::filesystem::is_directory(path("temp")));
  EXPECT_EQ(errorNumber([&] { fs_->makeFolder("D:\\temp"); }), kErrPathFileAccess);
  EXPECT_EQ(errorNumber([&] { fs_->makeFolder("D:\\a\\b"); }), kErrPathNotFound);
  write("temp/f", "x");
  EXPECT_EQ(errorNumber([&] { fs_->removeFolder("D:\\temp"); }), kErrPathFileAccess);
  ::unlink(path("temp/f").c_str());
  // A read-only folder cannot be removed until its attributes are cleared.
  fs_->setAttributes("D:\\temp", 7);
  EXPECT_EQ(errorNumber([&] { fs_->removeFolder("D:\\temp"); }), kErrPathFileAccess);
  fs_->setAttributes("D:\\temp", 0);
  fs_->removeFolder("D:\\temp");
  EXPECT_FALSE(std::filesystem::exists(path("temp")));
  EXPECT_EQ(errorNumber([&] { fs_->removeFolder("D:\\temp"); }), kErrPathNotFound);
}

TEST_F(PosixFileSystemTest, ListingFiltersByTheAttributeMask) {
  ::mkdir(path("t").c_str(), 0755);
  ::mkdir(path("t/sub").c_str(), 0755);
  write("t/b.txt", "x");
  write("t/a.dat", "x");
  write("t/h.txt", "x");
  write("t/s.txt", "x");
  fs_->setAttributes("D:\\t\\h.txt", attr::kHidden | attr::kReadOnly);
  fs_->setAttributes("D:\\t\\s.txt", attr::kSystem);
  auto all = fs_->list("D:\\t\\", attr::kAllEntries);
  EXPECT_EQ(drain(*all), (Names{".", "..", "a.dat", "b.txt", "h.txt", "s.txt", "sub"}));
  EXPECT_EQ(all->next(), "");  // stays ended
  EXPECT_EQ(drain(*fs_->list("D:\\t\\", attr::kNormal)), (Names{"a.dat", "b.txt"}));
  EXPECT_EQ(drain(*fs_->list("D:\\t\\", attr::kHidden)), (Names{"a.dat", "b.txt", "h.txt"}));
  EXPECT_EQ(drain(*fs_->list("D:\\t\\*.TXT", attr::kAllEntries)),
            (Names{"b.txt", "h.txt", "s.txt"}));
  // Without a trailing separator the path names the entry itself.
  EXPECT_EQ(drain(*fs_->list("D:\\t", attr::kDirectory)), (Names{"t"}));
  EXPECT_TRUE(drain(*fs_->list("D:\\t", attr::kNormal)).empty());
  EXPECT_TRUE(drain(*fs_->list("D:\\missing\\", attr::kAllEntries)).empty());
  EXPECT_EQ(drain(*fs_->list("D:\\", attr::kDirectory)), (Names{".", "..", "t"}));
  EXPECT_EQ(errorNumber([&] { fs_->list("Q:\\", attr::kAllEntries); }), kErrPathNotFound);
}

TEST_F(PosixFileSystemTest, SymbolicLinksAreLinks) {
  ::mkdir(path("target").c_str(), 0755);
  write("target/keep", "x");
  ASSERT_EQ(::symlink(path("target").c_str(), path("link").c_str()), 0);
  write("file", "x");
  EXPECT_TRUE(fs_->isLink("D:\\link"));
  EXPECT_FALSE(fs_->isLink("D:\\target"));
  EXPECT_FALSE(fs_->isLink("D:\\missing"));
  EXPECT_EQ(fs_->getAttributes("D:\\link"), attr::kDirectory | attr::kReparsePoint);
  EXPECT_EQ(errorNumber([&] { fs_->removeLink("D:\\file"); }), kErrInvalidProcedureCall);
  fs_->removeLink("D:\\link");
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(path("link"))));
  EXPECT_EQ(read("target/keep"), "x");
}

TEST_F(PosixFileSystemTest, TextLinesFollowTheSettingsFileRule) {
  write("server.xml", "\xE6\x9C\xAC\xE5\x9C\xB0\r\nsecond\nstill second\rthird");
  EXPECT_EQ(fs_->readTextLines("D:\\server.xml"),
            (Names{"\xE6\x9C\xAC\xE5\x9C\xB0", "second\nstill second", "third"}));
  write("empty", "");
  EXPECT_TRUE(fs_->readTextLines("D:\\empty").empty());
  EXPECT_EQ(errorNumber([&] { fs_->readTextLines("D:\\none"); }), kErrFileNotFound);
}

TEST_F(PosixFileSystemTest, WriteCutsToTheNewLengthAndKeepsAttributes) {
  fs_->writeFile("D:\\w", "long long content");
  fs_->writeFile("D:\\w", "short");
  EXPECT_EQ(fs_->readFile("D:\\w"), "short");
  fs_->setAttributes("D:\\w", attr::kHidden);
  fs_->writeFile("D:\\w", "again");
  EXPECT_EQ(read("w"), "again");
  EXPECT_EQ(fs_->getAttributes("D:\\w"), attr::kHidden);
  fs_->setAttributes("D:\\w", attr::kReadOnly);
  EXPECT_EQ(errorNumber([&] { fs_->writeFile("D:\\w", "no"); }), kErrPathFileAccess);
  EXPECT_EQ(read("w"), "again");
  EXPECT_EQ(errorNumber([&] { fs_->writeFile("D:\\gone\\w", "no"); }), kErrPathNotFound);
  const std::string binary("\0\r\n\xFF", 4);
  fs_->writeFile("D:\\bin", binary);
  EXPECT_EQ(fs_->readFile("D:\\bin"), binary);
}

TEST_F(PosixFileSystemTest, FoldersComeFromTheConstructorOrTheRunningProgram) {
  EXPECT_EQ(fs_->systemDirectory(), "D:\\Windows\\system32");
  EXPECT_EQ(fs_->programFolder(), "D:\\Shop");
  char exe[4096] = {};
  ASSERT_GT(::readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
  auto native = makeNativeFileSystem();
  EXPECT_EQ(native->programFolder(), std::filesystem::path(exe).parent_path().string());
  EXPECT_EQ(native->systemDirectory(), "");
}

}  // namespace
}  // namespace plat
