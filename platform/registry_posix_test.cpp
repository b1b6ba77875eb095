#include "platform/registry_posix.h"

#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/temp_folder.h"

namespace plat {
namespace {

using Status = RegQuery::Status;
constexpr const char* kSecurity = "Software\\Microsoft\\Office\\11.0\\Access\\Security";
constexpr const char* kInstall = "Software\\Microsoft\\Office\\11.0\\Access\\InstallRoot";

class PosixRegistryTest : public testsupport::TempFolderTest {
 protected:
  void SetUp() override { reg_ = std::make_unique<PosixRegistry>(path("user.reg")); }
  std::unique_ptr<PosixRegistry> reg_;
};

TEST_F(PosixRegistryTest, MissingStoreHasNoKeysAndIsCreatedByTheFirstWrite) {
  EXPECT_EQ(reg_->queryValue(RegRoot::kLocalMachine, kInstall, "Path", 256).status, Status::kNoKey);
  EXPECT_FALSE(reg_->setDword(RegRoot::kCurrentUser, kSecurity, "Level", 1));
  EXPECT_FALSE(std::filesystem::exists(path("user.reg")));

  ASSERT_TRUE(reg_->createKey(RegRoot::kCurrentUser, kSecurity));
  EXPECT_EQ(reg_->queryValue(RegRoot::kCurrentUser, kSecurity, "Level", 256).status,
            Status::kNoValue);
  ASSERT_TRUE(reg_->setDword(RegRoot::kCurrentUser, kSecurity, "Level", 1));
  EXPECT_EQ(reg_->getDword(RegRoot::kCurrentUser, kSecurity, "Level"), 1u);
  // Key names match without case; parents exist with the key.
  EXPECT_EQ(reg_->getDword(RegRoot::kCurrentUser,
                           "SOFTWARE\\microsoft\\office\\11.0\\access\\security", "LEVEL"),
            1u);
  EXPECT_EQ(reg_->queryValue(RegRoot::kCurrentUser, "Software\\Microsoft", "x", 256).status,
            Status::kNoValue);
  // Another root is another tree.
  EXPECT_EQ(reg_->queryValue(RegRoot::kLocalMachine, kSecurity, "Level", 256).status,
            Status::kNoKey);

  const std::string text = read("user.reg");
  EXPECT_EQ(text.rfind("Windows Registry Editor Version 5.00\r\n", 0), 0u);
  EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Software\\Microsoft\\Office\\11.0\\Access\\Security]\r\n"
                      "\"Level\"=dword:00000001\r\n"),
            std::string::npos);
}

TEST_F(PosixRegistryTest, StringValuesFollowTheAnsiBufferRules) {
  ASSERT_TRUE(reg_->setString(RegRoot::kLocalMachine, kInstall, "Path", "C:\\Office\\"));
  RegQuery q = reg_->queryValue(RegRoot::kLocalMachine, kInstall, "Path", 11);
  EXPECT_EQ(q.status, Status::kOk);
  EXPECT_EQ(q.type, 1u);
  EXPECT_EQ(q.data, std::string("C:\\Office\\\0", 11));
  q = reg_->queryValue(RegRoot::kLocalMachine, kInstall, "Path", 10);
  EXPECT_EQ(q.status, Status::kMoreData);
  EXPECT_TRUE(q.data.empty());

  ASSERT_TRUE(reg_->setString(RegRoot::kLocalMachine, kInstall, "Empty", ""));
  EXPECT_EQ(reg_->queryValue(RegRoot::kLocalMachine, kInstall, "Empty", 256).data,
            std::string(1, '\0'));
  // A DWORD read as a buffer: its four bytes.
  ASSERT_TRUE(reg_->setDword(RegRoot::kLocalMachine, kInstall, "N", 0x01020304));
  EXPECT_EQ(reg_->queryValue(RegRoot::kLocalMachine, kInstall, "N", 4).data,
            std::string("\4\3\2\1", 4));
  EXPECT_EQ(reg_->queryValue(RegRoot::kLocalMachine, kInstall, "N", 3).status, Status::kMoreData);
  EXPECT_EQ(reg_->getDword(RegRoot::kLocalMachine, kInstall, "Path"), std::nullopt);
}

TEST_F(PosixRegistryTest, ReadsStoresWrittenByRegistryEditors) {
  write("user.reg",
        "REGEDIT4\r\n"
        "\r\n"
        "; a comment\r\n"
        "[HKLM\\Software\\Microsoft\\Office\\10.0\\Access\\InstallRoot]\r\n"
        "\"Path\"=\"  D:\\\\Office 10\\\\ \"\r\n"
        "\"Quote\"=\"say \\\"hi\\\"\"\r\n"
        "@=\"default\"\r\n"
        "\"Bin\"=hex:01,02,\\\r\n"
        "  03\r\n"
        "\r\n"
        "[HKEY_CURRENT_USER\\Gone]\r\n"
        "\"x\"=dword:00000002\r\n"
        "[-HKEY_CURRENT_USER\\Gone]\r\n"
        "[HKEY_CURRENT_USER\\Kept]\r\n"
        "\"a\"=dword:0000000a\r\n"
        "\"b\"=dword:0000000b\r\n"
        "\"a\"=-\r\n");
  const char* key = "Software\\Microsoft\\Office\\10.0\\Access\\InstallRoot";
  EXPECT_EQ(reg_->queryValue(RegRoot::kLocalMachine, key, "Path", 256).data,
            std::string("  D:\\Office 10\\ \0", 17));
  EXPECT_EQ(reg_->queryValue(RegRoot::kLocalMachine, key, "quote", 256).data,
            std::string("say \"hi\"\0", 9));
  EXPECT_EQ(reg_->queryValue(RegRoot::kLocalMachine, key, "", 256).data,
            std::string("default\0", 8));
  const RegQuery bin = reg_->queryValue(RegRoot::kLocalMachine, key, "Bin", 256);
  EXPECT_EQ(bin.type, 3u);
  EXPECT_EQ(bin.data, std::string("\1\2\3", 3));
  EXPECT_EQ(reg_->queryValue(RegRoot::kCurrentUser, "Gone", "x", 256).status, Status::kNoKey);
  EXPECT_EQ(reg_->getDword(RegRoot::kCurrentUser, "Kept", "a"), std::nullopt);
  EXPECT_EQ(reg_->getDword(RegRoot::kCurrentUser, "Kept", "b"), 11u);

  // A change rewrites the store in the version 5 form and keeps the rest.
  ASSERT_TRUE(reg_->setDword(RegRoot::kCurrentUser, "Kept", "c", 12));
  PosixRegistry again(path("user.reg"));
  EXPECT_EQ(again.queryValue(RegRoot::kLocalMachine, key, "Path", 256).data,
            std::string("  D:\\Office 10\\ \0", 17));
  EXPECT_EQ(again.queryValue(RegRoot::kLocalMachine, key, "Bin", 256).data,
            std::string("\1\2\3", 3));
  EXPECT_EQ(again.getDword(RegRoot::kCurrentUser, "Kept", "c"), 12u);
}

TEST_F(PosixRegistryTest, ReadsUtf16StoresAndUnicodeStringData) {
  // "Windows Registry Editor Version 5.00" export in UTF-16LE with a BOM;
  // the value is hex(2) data in UTF-16LE: "\u4E2D%X%".
  const std::string utf8 =
      "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\K]\r\n"
      "\"E\"=hex(2):2d,4e,25,00,58,00,25,00,00,00\r\n";
  std::string utf16 = "\xFF\xFE";
  for (const char c : utf8) {
    utf16.push_back(c);
    utf16.push_back('\0');
  }
  write("user.reg", utf16);
  const RegQuery q = reg_->queryValue(RegRoot::kCurrentUser, "K", "E", 256);
  EXPECT_EQ(q.type, 2u);
  EXPECT_EQ(q.data, std::string("\xE4\xB8\xAD%X%\0", 7));
}

TEST_F(PosixRegistryTest, LineBreaksInStringsSurviveTheStore) {
  ASSERT_TRUE(reg_->setString(RegRoot::kCurrentUser, "K", "S", "one\r\ntwo \"2\""));
  PosixRegistry again(path("user.reg"));
  EXPECT_EQ(again.queryValue(RegRoot::kCurrentUser, "K", "S", 256).data,
            std::string("one\r\ntwo \"2\"\0", 13));
}

TEST_F(PosixRegistryTest, AStoreThatCannotBeReadIsNeverRewritten) {
  const std::string garbage =
      "Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\K]\r\nnonsense\r\n";
  write("user.reg", garbage);
  EXPECT_TRUE(reg_->createKey(RegRoot::kCurrentUser, ""));  // the root needs no write
  EXPECT_FALSE(reg_->createKey(RegRoot::kCurrentUser, "New"));
  EXPECT_FALSE(reg_->setDword(RegRoot::kCurrentUser, "K", "x", 1));
  EXPECT_EQ(read("user.reg"), garbage);
  EXPECT_EQ(reg_->queryValue(RegRoot::kCurrentUser, "K", "x", 256).status, Status::kNoValue);
}

TEST_F(PosixRegistryTest, MalformedSubkeysAreRefused) {
  EXPECT_FALSE(reg_->createKey(RegRoot::kCurrentUser, "\\Leading"));
  EXPECT_FALSE(reg_->createKey(RegRoot::kCurrentUser, "a\\\\b"));
  EXPECT_EQ(reg_->queryValue(RegRoot::kCurrentUser, "\\Leading", "x", 256).status, Status::kNoKey);
}

TEST_F(PosixRegistryTest, WritersInSeveralProcessesLoseNothing) {
  ASSERT_TRUE(reg_->createKey(RegRoot::kCurrentUser, "Shared"));
  constexpr int kWriters = 4;
  constexpr int kEach = 15;
  std::vector<pid_t> children;
  for (int w = 0; w < kWriters; ++w) {
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      PosixRegistry mine(path("user.reg"));
      bool ok = true;
      for (int i = 0; i < kEach; ++i)
        ok = mine.setDword(RegRoot::kCurrentUser, "Shared", "v" + std::to_string(w * 100 + i),
                           static_cast<uint32_t>(i)) &&
             ok;
      ::_exit(ok ? 0 : 1);
    }
    children.push_back(pid);
  }
  for (const pid_t pid : children) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  for (int w = 0; w < kWriters; ++w)
    for (int i = 0; i < kEach; ++i)
      EXPECT_EQ(reg_->getDword(RegRoot::kCurrentUser, "Shared", "v" + std::to_string(w * 100 + i)),
                static_cast<uint32_t>(i));
}

}  // namespace
}  // namespace plat
