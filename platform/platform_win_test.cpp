// The Win32 implementation of the platform services, exercised for real
// (run under Wine by the "platform_win" test of the native build).
#include <windows.h>
#include <gtest/gtest.h>

#include <functional>

#include "platform/clock.h"
#include "platform/error.h"
#include "platform/filesystem.h"
#include "platform/process.h"
#include "platform/registry.h"
#include "platform/testing/listing.h"
#include "platform/ui.h"
#include "platform/win/shell_start.h"
#include "platform/win/unique_handle.h"
#include "platform/win/wide.h"
#include "tests/support/errors.h"

namespace plat {
namespace {

using testing::drain;
using testing::Names;
using testsupport::errorNumber;
using win::narrow;
using win::widen;

void removeTree(const std::wstring& dir) {
  WIN32_FIND_DATAW d;
  HANDLE h = ::FindFirstFileW((dir + L"\\*").c_str(), &d);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = d.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring p = dir + L"\\" + name;
      ::SetFileAttributesW(p.c_str(), FILE_ATTRIBUTE_NORMAL);
      if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        removeTree(p);
      else
        ::DeleteFileW(p.c_str());
    } while (::FindNextFileW(h, &d));
    ::FindClose(h);
  }
  ::SetFileAttributesW(dir.c_str(), FILE_ATTRIBUTE_NORMAL);
  ::RemoveDirectoryW(dir.c_str());
}

std::string programFolderOfTest() {
  wchar_t buf[MAX_PATH];
  const DWORD n = ::GetModuleFileNameW(nullptr, buf, MAX_PATH);
  std::wstring p(buf, n);
  return narrow(p.substr(0, p.find_last_of(L'\\')));
}

class WinTest : public ::testing::Test {
 protected:
  void SetUp() override {
    wchar_t tmp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, tmp);
    std::wstring base = tmp;
    if (base.back() == L'\\') base.pop_back();
    for (int i = 0;; ++i) {
      dir_ = base + L"\\kit plat " + std::to_wstring(::GetCurrentProcessId()) + L"-" +
             std::to_wstring(i);
      if (::CreateDirectoryW(dir_.c_str(), nullptr)) break;
      ASSERT_LT(i, 100);
    }
    root_ = narrow(dir_);
  }
  void TearDown() override { removeTree(dir_); }
  std::string path(const std::string& rel) const { return root_ + "\\" + rel; }
  void put(const std::string& rel, const std::string& bytes) { fs_->writeFile(path(rel), bytes); }

  std::unique_ptr<FileSystem> fs_ = makeNativeFileSystem();
  std::wstring dir_;
  std::string root_;
};

TEST_F(WinTest, FileExistsUsesTheNormalAttributeMask) {
  put("plain.txt", "x");
  put("hidden.txt", "x");
  put("system.txt", "x");
  put("readonly.txt", "x");
  fs_->makeFolder(path("folder"));
  fs_->setAttributes(path("hidden.txt"), attr::kHidden);
  fs_->setAttributes(path("system.txt"), attr::kSystem);
  fs_->setAttributes(path("readonly.txt"), attr::kReadOnly);
  EXPECT_TRUE(fs_->fileExists(path("plain.txt")));
  EXPECT_TRUE(fs_->fileExists(path("READONLY.TXT")));
  EXPECT_FALSE(fs_->fileExists(path("hidden.txt")));
  EXPECT_FALSE(fs_->fileExists(path("system.txt")));
  EXPECT_FALSE(fs_->fileExists(path("folder")));
  EXPECT_FALSE(fs_->fileExists(path("missing.txt")));
  EXPECT_FALSE(fs_->fileExists(path("gone\\plain.txt")));
  EXPECT_FALSE(fs_->fileExists(path("*.txt")));
}

TEST_F(WinTest, AttributesAreTheWin32Ones) {
  put("f", "x");
  EXPECT_EQ(fs_->getAttributes(path("missing")), attr::kInvalid);
  // Wine marks every file for archiving and keeps no read-only bit on
  // folders; the checks leave those two out.
  fs_->setAttributes(path("f"), 7);
  EXPECT_EQ(fs_->getAttributes(path("f")) & 0x1F, 7u);
  fs_->setAttributes(path("f"), attr::kNormal);
  EXPECT_EQ(fs_->getAttributes(path("f")) & 0x1F, 0u);
  fs_->makeFolder(path("temp"));
  fs_->setAttributes(path("temp"), 7);
  EXPECT_EQ(fs_->getAttributes(path("temp")) & 0x16, 16u | 6u);
  // Files still go into a read-only, hidden, system folder.
  put("temp\\110130.BAR", "db");
  EXPECT_TRUE(fs_->fileExists(path("temp\\110130.bar")));
  EXPECT_EQ(errorNumber([&] { fs_->setAttributes(path("missing"), 0); }), kErrFileNotFound);
}

TEST_F(WinTest, CopyDeleteAndFolders) {
  put("src", "new content");
  put("dst", "old old old old old");
  fs_->copyFile(path("src"), path("dst"));
  EXPECT_EQ(fs_->readFile(path("dst")), "new content");
  put("ro", "keep");
  fs_->setAttributes(path("ro"), attr::kReadOnly);
  EXPECT_EQ(errorNumber([&] { fs_->copyFile(path("src"), path("ro")); }), kErrPathFileAccess);
  EXPECT_EQ(fs_->readFile(path("ro")), "keep");
  EXPECT_EQ(errorNumber([&] { fs_->writeFile(path("ro"), "no"); }), kErrPathFileAccess);
  put("hid", "keep");
  fs_->setAttributes(path("hid"), attr::kHidden);
  EXPECT_EQ(errorNumber([&] { fs_->copyFile(path("src"), path("hid")); }), kErrPathFileAccess);
  EXPECT_EQ(fs_->readFile(path("hid")), "keep");
  fs_->writeFile(path("hid"), "written");  // a hidden file takes new content
  EXPECT_EQ(fs_->readFile(path("hid")), "written");
  EXPECT_EQ(fs_->getAttributes(path("hid")) & attr::kHidden, attr::kHidden);
  EXPECT_EQ(errorNumber([&] { fs_->copyFile(path("none"), path("x")); }), kErrFileNotFound);
  EXPECT_NE(errorNumber([&] { fs_->copyFile(path("src"), path("gone\\x")); }), 0);

  EXPECT_EQ(errorNumber([&] { fs_->deleteFile(path("ro")); }), kErrPathFileAccess);
  EXPECT_EQ(errorNumber([&] { fs_->deleteFile(path("none")); }), kErrFileNotFound);
  fs_->setAttributes(path("ro"), 0);
  fs_->deleteFile(path("ro"));
  EXPECT_EQ(fs_->getAttributes(path("ro")), attr::kInvalid);

  fs_->makeFolder(path("d"));
  EXPECT_EQ(errorNumber([&] { fs_->makeFolder(path("d")); }), kErrPathFileAccess);
  EXPECT_EQ(errorNumber([&] { fs_->makeFolder(path("a\\b")); }), kErrPathNotFound);
  put("d\\f", "x");
  EXPECT_EQ(errorNumber([&] { fs_->removeFolder(path("d")); }), kErrPathFileAccess);
  fs_->deleteFile(path("d\\f"));
  fs_->removeFolder(path("d"));
  EXPECT_EQ(errorNumber([&] { fs_->removeFolder(path("d")); }), kErrPathNotFound);
}

TEST_F(WinTest, ListingWithMask31IncludesEverything) {
  fs_->makeFolder(path("t"));
  fs_->makeFolder(path("t\\sub"));
  put("t\\b.txt", "x");
  put("t\\h.txt", "x");
  put("t\\s.txt", "x");
  put("t\\\xE6\x95\xB0\xE6\x8D\xAE.txt", "x");  // a Chinese name
  fs_->setAttributes(path("t\\h.txt"), attr::kHidden | attr::kReadOnly);
  fs_->setAttributes(path("t\\s.txt"), attr::kSystem);
  Names all = drain(*fs_->list(path("t\\"), attr::kAllEntries));
  std::sort(all.begin(), all.end());
  EXPECT_EQ(all,
            (Names{".", "..", "b.txt", "h.txt", "s.txt", "sub", "\xE6\x95\xB0\xE6\x8D\xAE.txt"}));
  Names plain = drain(*fs_->list(path("t\\"), attr::kNormal));
  std::sort(plain.begin(), plain.end());
  EXPECT_EQ(plain, (Names{"b.txt", "\xE6\x95\xB0\xE6\x8D\xAE.txt"}));
  EXPECT_EQ(drain(*fs_->list(path("t"), attr::kDirectory)), (Names{"t"}));
  EXPECT_TRUE(drain(*fs_->list(path("missing\\"), attr::kAllEntries)).empty());
  EXPECT_TRUE(fs_->fileExists(path("t\\\xE6\x95\xB0\xE6\x8D\xAE.txt")));
}

TEST_F(WinTest, TextLinesAreInTheAnsiCodePage) {
  if (::GetACP() != 936)
    GTEST_SKIP() << "needs code page 936 (LC_ALL=zh_CN.UTF-8), have " << ::GetACP();
  put("server.xml", "\xB1\xBE\xB5\xD8\r\nsecond\nstill\rthird");  // "本地" in CP936
  EXPECT_EQ(fs_->readTextLines(path("server.xml")),
            (Names{"\xE6\x9C\xAC\xE5\x9C\xB0", "second\nstill", "third"}));
  put("empty", "");
  EXPECT_TRUE(fs_->readTextLines(path("empty")).empty());
}

TEST_F(WinTest, FoldersOfTheSystemAndTheProgram) {
  EXPECT_EQ(fs_->programFolder(), programFolderOfTest());
  const std::string sys = fs_->systemDirectory();
  ASSERT_GT(sys.size(), 3u);
  EXPECT_NE(sys.back(), '\\');
  EXPECT_TRUE(fs_->getAttributes(sys) & attr::kDirectory);
}

class WinRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sub_ = "Software\\KitPlatformTest\\" + std::to_string(::GetCurrentProcessId());
  }
  void TearDown() override {
    ::RegDeleteTreeW(HKEY_CURRENT_USER, widen(sub_).c_str());
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
      win::UniqueRegKey k;
      if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software", 0, KEY_ALL_ACCESS | view, k.put()) ==
          ERROR_SUCCESS)
        ::RegDeleteTreeW(k.get(), widen(sub_.substr(9)).c_str());
    }
  }
  // Writes a string straight into one view of HKEY_LOCAL_MACHINE.
  void putMachineString(REGSAM view, const std::string& name, const std::string& value) {
    win::UniqueRegKey k;
    ASSERT_EQ(::RegCreateKeyExW(HKEY_LOCAL_MACHINE, widen(sub_).c_str(), 0, nullptr, 0,
                                KEY_ALL_ACCESS | view, nullptr, k.put(), nullptr),
              ERROR_SUCCESS);
    const std::wstring w = widen(value);
    ASSERT_EQ(::RegSetValueExW(k.get(), widen(name).c_str(), 0, REG_SZ,
                               reinterpret_cast<const BYTE*>(w.c_str()),
                               static_cast<DWORD>((w.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
  }
  std::unique_ptr<Registry> reg_ = makeNativeRegistry();
  std::string sub_;
};

TEST_F(WinRegistryTest, CurrentUserKeysAndDwords) {
  using Status = RegQuery::Status;
  EXPECT_FALSE(reg_->setDword(RegRoot::kCurrentUser, sub_, "Level", 1));
  EXPECT_EQ(reg_->queryValue(RegRoot::kCurrentUser, sub_, "Level", 256).status, Status::kNoKey);
  ASSERT_TRUE(reg_->createKey(RegRoot::kCurrentUser, sub_));
  EXPECT_EQ(reg_->queryValue(RegRoot::kCurrentUser, sub_, "Level", 256).status, Status::kNoValue);
  ASSERT_TRUE(reg_->setDword(RegRoot::kCurrentUser, sub_, "Level", 1));
  EXPECT_EQ(reg_->getDword(RegRoot::kCurrentUser, sub_, "Level"), 1u);
  const RegQuery q = reg_->queryValue(RegRoot::kCurrentUser, sub_, "Level", 4);
  EXPECT_EQ(q.type, static_cast<uint32_t>(REG_DWORD));
  EXPECT_EQ(q.data, std::string("\1\0\0\0", 4));
}

TEST_F(WinRegistryTest, MachineKeysAreReadInThe32BitView) {
  using Status = RegQuery::Status;
  putMachineString(KEY_WOW64_32KEY, "Path", "C:\\Office\\");
  putMachineString(KEY_WOW64_64KEY, "Only64", "x");
  RegQuery q = reg_->queryValue(RegRoot::kLocalMachine, sub_, "Path", 11);
  EXPECT_EQ(q.status, Status::kOk);
  EXPECT_EQ(q.data, std::string("C:\\Office\\\0", 11));
  EXPECT_EQ(reg_->queryValue(RegRoot::kLocalMachine, sub_, "Path", 10).status, Status::kMoreData);
#ifdef _WIN64
  EXPECT_EQ(reg_->queryValue(RegRoot::kLocalMachine, sub_, "Only64", 256).status, Status::kNoValue);
#endif
  // Writes under HKEY_LOCAL_MACHINE land in the same view.
  ASSERT_TRUE(reg_->setDword(RegRoot::kLocalMachine, sub_, "Level", 5));
  win::UniqueRegKey k;
  ASSERT_EQ(::RegOpenKeyExW(HKEY_LOCAL_MACHINE, widen(sub_).c_str(), 0,
                            KEY_QUERY_VALUE | KEY_WOW64_32KEY, k.put()),
            ERROR_SUCCESS);
  DWORD d = 0, size = sizeof d, type = 0;
  ASSERT_EQ(
      ::RegQueryValueExW(k.get(), L"Level", nullptr, &type, reinterpret_cast<BYTE*>(&d), &size),
      ERROR_SUCCESS);
  EXPECT_EQ(d, 5u);
}

class WinProcessTest : public WinTest {
 protected:
  std::string child() const { return programFolderOfTest() + "\\platform_win_child.exe"; }
  static DWORD waitExit(uint32_t pid) {
    win::UniqueKernelHandle p(
        ::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!p) return 0xFFFFFFFF;
    ::WaitForSingleObject(p.get(), 30000);
    DWORD code = 0;
    ::GetExitCodeProcess(p.get(), &code);
    return code;
  }
  std::string waitForFile(const std::string& p) {
    for (int i = 0; i < 300; ++i) {
      // The child may still hold the file open for writing: try again.
      try {
        if (fs_->getAttributes(p) != attr::kInvalid) {
          const std::string text = fs_->readFile(p);
          if (!text.empty()) return text;
        }
      } catch (const PlatformError&) {
      }
      ::Sleep(50);
    }
    return std::string();
  }
};

TEST_F(WinProcessTest, StartReturnsTheTaskIdAndPassesArguments) {
  auto processes = makeNativeProcesses();
  const std::string out = path("out.txt");
  const uint32_t pid =
      processes->start(quoteArgIfNeeded(child()) + " args " + quoteArgIfNeeded(out) + " " +
                           quoteArgIfNeeded("E:\\da ta\\") + " D:\\Shop\\DAO360.DLL /s",
                       WindowStyle::kNormalFocus);
  ASSERT_NE(pid, 0u);
  EXPECT_EQ(waitExit(pid), 7u);
  EXPECT_EQ(fs_->readFile(out), std::to_string(pid) + "\nE:\\da ta\\\nD:\\Shop\\DAO360.DLL\n/s\n");
}

TEST_F(WinProcessTest, AnUnquotedProgramPathWithBlanksStillStarts) {
  fs_->makeFolder(path("Program Files"));
  fs_->copyFile(child(), path("Program Files\\Msaccess.exe"));
  auto processes = makeNativeProcesses();
  const std::string out = path("out.txt");  // the folder name has blanks: quoted
  const uint32_t pid = processes->start(
      path("Program Files\\Msaccess.exe") + " args " + quoteArgIfNeeded(out) + " /runtime",
      WindowStyle::kMaximizedFocus);
  EXPECT_EQ(waitExit(pid), 7u);
  EXPECT_EQ(fs_->readFile(out), std::to_string(pid) + "\n/runtime\n");
}

// The way an installer that asks for administrator rights is started: the
// shell gets the program and its arguments apart, and the process is followed.
TEST_F(WinProcessTest, StartingThroughTheShellPassesArgumentsAndHandsTheProcessOver) {
  fs_->makeFolder(path("修车 店铺"));
  fs_->copyFile(child(), path("修车 店铺\\MSAC2003.exe"));
  const std::string out = path("out.txt");
  PROCESS_INFORMATION pi = win::startThroughShell(
      win::widen(quoteArgIfNeeded(path("修车 店铺\\MSAC2003.exe")) + "  args " +
                 quoteArgIfNeeded(out) + " " + quoteArgIfNeeded("E:\\da ta\\") + " /s"),
      SW_SHOWMINIMIZED);
  win::UniqueKernelHandle process(pi.hProcess);
  ASSERT_TRUE(process);
  EXPECT_EQ(pi.hThread, nullptr);
  ASSERT_EQ(::WaitForSingleObject(process.get(), 30000), WAIT_OBJECT_0);
  DWORD code = 0;
  ::GetExitCodeProcess(process.get(), &code);
  EXPECT_EQ(code, 7u);
  EXPECT_EQ(fs_->readFile(out), std::to_string(pi.dwProcessId) + "\nE:\\da ta\\\n/s\n");
  EXPECT_EQ(errorNumber([&] {
              win::startThroughShell(win::widen(path("none\\MSAC2003.exe")), SW_SHOWMINIMIZED);
            }),
            kErrFileNotFound);
}

TEST_F(WinProcessTest, AMissingProgramIsFileNotFound) {
  auto processes = makeNativeProcesses();
  EXPECT_EQ(
      errorNumber([&] { processes->start(path("Rundrel.exe"), WindowStyle::kMinimizedFocus); }),
      kErrFileNotFound);
  EXPECT_EQ(errorNumber([&] {
              processes->start(path("none\\regsvr32.exe") + " /s x", WindowStyle::kNormalFocus);
            }),
            kErrFileNotFound);
}

TEST_F(WinProcessTest, PreviousInstanceAndCrashedInstances) {
  auto processes = makeNativeProcesses();
  // Within one process: the first object claims, the second sees it.
  auto first = makeNativeProcesses();
  auto second = makeNativeProcesses();
  EXPECT_FALSE(first->previousInstanceRunning());
  EXPECT_TRUE(second->previousInstanceRunning());

  // Across processes of one program: a holder, a second start, then a crash.
  const uint32_t holder = processes->start(
      quoteArgIfNeeded(child()) + " instance " + quoteArgIfNeeded(path("1.txt")) + " hold",
      WindowStyle::kHide);
  EXPECT_EQ(waitForFile(path("1.txt")), "0");
  const uint32_t next =
      processes->start(quoteArgIfNeeded(child()) + " instance " + quoteArgIfNeeded(path("2.txt")),
                       WindowStyle::kHide);
  waitExit(next);
  EXPECT_EQ(fs_->readFile(path("2.txt")), "1");
  {
    win::UniqueKernelHandle h(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, holder));
    ASSERT_TRUE(h);
    ::TerminateProcess(h.get(), 9);
    ::WaitForSingleObject(h.get(), 30000);
  }
  const uint32_t after =
      processes->start(quoteArgIfNeeded(child()) + " instance " + quoteArgIfNeeded(path("3.txt")),
                       WindowStyle::kHide);
  waitExit(after);
  EXPECT_EQ(fs_->readFile(path("3.txt")), "0");
}

LRESULT CALLBACK countingProc(HWND h, UINT msg, WPARAM w, LPARAM l) {
  if (msg == WM_APP) ++*reinterpret_cast<int*>(::GetWindowLongPtrW(h, GWLP_USERDATA));
  return ::DefWindowProcW(h, msg, w, l);
}

TEST(WinUi, PumpHandlesWaitingMessagesAndLeavesTheQuit) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = countingProc;
  wc.hInstance = ::GetModuleHandleW(nullptr);
  wc.lpszClassName = L"KitPlatformPumpTest";
  ::RegisterClassW(&wc);
  HWND w = ::CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             wc.hInstance, nullptr);
  ASSERT_NE(w, nullptr);
  int count = 0;
  ::SetWindowLongPtrW(w, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(&count));
  auto ui = makeNativeUi();
  ::PostMessageW(w, WM_APP, 0, 0);
  ::PostMessageW(w, WM_APP, 0, 0);
  ui->pumpEvents();
  EXPECT_EQ(count, 2);
  ::PostQuitMessage(3);
  ui->pumpEvents();
  MSG msg;
  ASSERT_TRUE(::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(msg.wParam, 3u);
  ui->beep();
  ::DestroyWindow(w);
}

TEST_F(WinProcessTest, MessageBoxShowsTextTitleAndButtonsAndAnswersThePress) {
  const std::string uiauto = programFolderOfTest() + "\\uiauto.exe";
  if (fs_->getAttributes(uiauto) == attr::kInvalid)
    GTEST_SKIP() << "uiauto.exe is not built beside this test";
  const std::string title = "\xE6\x8F\x90\xE7\xA4\xBA";                         // 提示
  const std::string text = "\xE7\xB3\xBB\xE7\xBB\x9F\xE5\x90\xAF\xE5\x8A\xA8";  // 系统启动
  auto processes = makeNativeProcesses();
  const std::string seen = path("dialog.txt");
  processes->start(quoteArgIfNeeded(uiauto) + " wait-dialog " + title + " 20000 " +
                       quoteArgIfNeeded(seen) + " press 7",
                   WindowStyle::kHide);
  auto ui = makeNativeUi();
  EXPECT_EQ(ui->messageBox(text, mb::kYesNo | mb::kExclamation, title), mb::kIdNo);
  const std::string shown = fs_->readFile(seen);
  EXPECT_NE(shown.find("title=" + title + "\n"), std::string::npos) << shown;
  EXPECT_NE(shown.find("text=" + text + "\n"), std::string::npos) << shown;
  EXPECT_NE(shown.find("buttons=6,7\n"), std::string::npos) << shown;
}

TEST(WinClock, TodayIsTheLocalDate) {
  auto clock = makeNativeClock();
  SYSTEMTIME st;
  ::GetLocalTime(&st);
  const Date d = clock->today();
  EXPECT_EQ(d.year, st.wYear);
  EXPECT_EQ(d.month, st.wMonth);
  const double a = clock->monotonicSeconds();
  ::Sleep(20);
  EXPECT_GE(clock->monotonicSeconds() - a, 0.015);
}

TEST(WinQuote, BackslashesBeforeTheClosingQuoteAreDoubled) {
  EXPECT_EQ(quoteArgIfNeeded("E:\\da ta\\"), "\"E:\\da ta\\\\\"");
  EXPECT_EQ(quoteArgIfNeeded("D:\\Shop\\DAO360.DLL"), "D:\\Shop\\DAO360.DLL");
}

}  // namespace
}  // namespace plat
