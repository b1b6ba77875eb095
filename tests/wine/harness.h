#pragma once
// wine_harness: what a GoogleTest end-to-end test needs to run the Windows
// programs under Wine (native side; link the target `wine_harness`).
//
// Register the test with kit_add_wine_test(NAME x COMMAND $<TARGET_FILE:x> [UI])
// (cmake/WineTests.cmake): it runs inside the per-run fixture "wine" (one
// Xvfb display, one Wine prefix) and gets KIT_WINE_STATE, KIT_WIN_BIN,
// KIT_ARTIFACTS and KIT_SOURCE_DIR in its environment. Typical use:
//
//   winetest::ProgramFolder dir("launcher");              // fresh folder, Z:\...
//   dir.copyBinary("Orvane.exe");
//   dir.copyBinary("recorder.exe", "regsvr32.exe");       // stand-in tool (tests/tools)
//   winetest::regAdd(R"(HKLM\Software\X)", "Path", "REG_SZ", "C:\\x\\", winetest::RegView::k32);
//   auto p = winetest::WineProcess::start({dir.file("Orvane.exe").string()},
//                                         winetest::StartOptions{.cwd = dir.path()});
//   using namespace std::chrono_literals;
//   auto box = winetest::waitDialog("提示", 20s, /*press=*/1);
//   ASSERT_TRUE(box);  EXPECT_EQ(box->icon, "exclamation");
//   EXPECT_EQ(p.wait(10s), 0);
//   auto calls = winetest::readRecorderLog(dir.file("regsvr32.exe.log"));
//   winetest::screenshot("launcher_prompt");              // artifacts/launcher_prompt.png
//
// Helper programs in $KIT_WIN_BIN (built from tests/tools by the mingw builds):
//   uiauto.exe    UI automation (waitDialog, waitWindow, click... call it)
//   recorder.exe  stand-in for outside programs: copy it under their name; it
//                 logs each start to <exe>.log (readRecorderLog); <exe>.exitcode,
//                 <exe>.hold and the folder <exe>.payload steer it
//   starter.exe   starter <show> [--wait] <command line>: CreateProcessW with a
//                 window style, as the programs start others
//   msgbox.exe    msgbox <style> <title> <text>: one MessageBoxW
//   clickpad.exe  a window with labels and a button, for testing clicks
//   rar_standin.exe  the archive tool's stand-in (copy it in as rar.exe): it
//                 really extracts packages of the tests' own format and logs
//                 like recorder.exe; .delay, .hold and .exitcode steer it
// Scripts: tests/wine/env.sh (source it) and tests/wine/winerun <exe> [args].
//
// Wine differs from Windows in one way tests meet: CreateProcessW given an
// unquoted program path with blanks hands the child that path quoted.
//
// Everything here is for one test thread; nothing is locked. Functions throw
// std::runtime_error when Wine or a helper cannot be run at all; outcomes a
// test asserts on (exit codes, timeouts, missing dialogs) are returned.
#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/files.h"

namespace winetest {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// ---- Environment -----------------------------------------------------------

// The fixture's environment: the KEY=value lines of $KIT_WINE_STATE/env
// (WINEPREFIX, DISPLAY, LC_ALL, WINEDEBUG, WINEDLLOVERRIDES, maybe LOCPATH)
// plus the folders below. Loaded once; throws when the fixture has not run.
struct Environment {
  std::map<std::string, std::string> vars;  // exported to every Wine process
  fs::path state;                           // KIT_WINE_STATE
  fs::path prefix;                          // WINEPREFIX
  fs::path winBin;                          // KIT_WIN_BIN: the mingw64 build's bin/
  fs::path artifacts;                       // KIT_ARTIFACTS (made on demand)
};
const Environment& env();

// ---- Paths -----------------------------------------------------------------

// A Unix path as the Windows programs see it: C:\... inside the prefix's
// drive_c, Z:\... elsewhere. The path need not exist.
std::string toWindowsPath(const fs::path& unixPath);
std::string toWindowsPath(const fs::path& unixPath, const fs::path& prefix);
// The reverse for C:\ and Z:\ paths (and drives mapped with mapDrive).
fs::path toUnixPath(const std::string& windowsPath);
// The prefix's C: drive.
fs::path driveC();
// Maps a drive letter of the prefix to a Unix folder (dosdevices symlink),
// e.g. to put a program folder at a drive root; unmapDrive removes it.
void mapDrive(char letter, const fs::path& target);
void unmapDrive(char letter);

// ---- Program folders ---------------------------------------------------------

// A fresh, empty folder for one test's programs: under $KIT_WINE_STATE/runs
// (drive Z:) or, with Location::kDriveC, under the prefix's C:\kit-runs.
// `name` may contain blanks and Chinese: it becomes the last path component
// (made unique with a suffix). Removed on destruction unless KIT_KEEP_RUNS=1.
class ProgramFolder {
 public:
  enum class Location { kState, kDriveC };
  explicit ProgramFolder(const std::string& name = "prog", Location where = Location::kState);
  ~ProgramFolder();
  ProgramFolder(const ProgramFolder&) = delete;
  ProgramFolder& operator=(const ProgramFolder&) = delete;

  const fs::path& path() const { return path_; }
  std::string winPath() const { return toWindowsPath(path_); }
  fs::path file(const std::string& relative) const { return path_ / fs::u8path(relative); }
  // Copies $KIT_WIN_BIN/<name> in, as `asName` when given; returns the copy.
  fs::path copyBinary(const std::string& name, const std::string& asName = {}) const;
  void write(const std::string& relative, const std::string& bytes) const;
  std::string read(const std::string& relative) const;
  bool exists(const std::string& relative) const;

 private:
  fs::path path_;
};

// The launcher's application database (Velmora.dll) as the shop's copy
// starts: the usysbookind table with its one row, dated 2000-01-01, no paths.
void makeApplicationDatabase(const fs::path& file);
// Today as yymmdd: the name the launcher gives its working copies.
std::string dayStamp();

// ---- Processes -------------------------------------------------------------

// Default member initialisers let callers name only what they set,
// StartOptions{.cwd = dir.path()}, without -Wmissing-field-initializers.
struct StartOptions {
  fs::path cwd{};                                 // Unix folder; default: the test's
  std::map<std::string, std::string> extraEnv{};  // added to the fixture's
};

// `wine <args...>` started asynchronously; stdout and stderr go to files.
// args[0] is a Unix path to an .exe or a program Wine finds (cmd, reg).
// Killed (SIGKILL, the whole Windows process) on destruction if still running.
class WineProcess {
 public:
  static WineProcess start(const std::vector<std::string>& args, const StartOptions& options = {});
  WineProcess(WineProcess&& other) noexcept;
  WineProcess& operator=(WineProcess&& other) noexcept;
  ~WineProcess();

  bool running();
  // The exit code (0..255), or std::nullopt when it did not end in time (it
  // is then killed).
  std::optional<int> wait(milliseconds timeout);
  void kill();
  std::string out() const;  // captured stdout bytes so far
  std::string err() const;
  int pid() const { return pid_; }

 private:
  WineProcess() = default;
  int pid_ = -1;
  int status_ = -1;
  fs::path outFile_, errFile_;
};

struct RunResult {
  std::optional<int> exitCode;  // nullopt: timed out and killed
  std::string out, err;
};
// Runs `wine <args...>` to the end (or the timeout).
RunResult run(const std::vector<std::string>& args, milliseconds timeout = milliseconds(60000),
              const StartOptions& options = {});
// Polls `done` every 50 ms until it is true or the timeout passes.
bool waitUntil(const std::function<bool()>& done, milliseconds timeout);

// ---- Registry (wine reg) ----------------------------------------------------

// k32: the view a 32-bit program sees (/reg:32); k64 the native one.
enum class RegView { kDefault, k32, k64 };
struct RegValue {
  std::string type;  // "REG_SZ", "REG_DWORD", ...
  std::string data;  // as reg prints it: text, or "0x1" for a DWORD
};
// Keys are written as reg takes them: "HKLM\Software\...", "HKCU\...".
// An empty value name means the key's unnamed (default) value.
void regAdd(const std::string& key, const std::string& name, const std::string& type,
            const std::string& data, RegView view = RegView::kDefault);
void regAddKey(const std::string& key, RegView view = RegView::kDefault);
std::optional<RegValue> regQuery(const std::string& key, const std::string& name,
                                 RegView view = RegView::kDefault);
bool regKeyExists(const std::string& key, RegView view = RegView::kDefault);
// Both ignore a key or value that is not there.
void regDeleteKey(const std::string& key, RegView view = RegView::kDefault);
void regDeleteValue(const std::string& key, const std::string& name,
                    RegView view = RegView::kDefault);
// Parses the output of `reg query <key> /v <name>` (already UTF-8).
std::optional<RegValue> parseRegQuery(const std::string& output, const std::string& name);

// ---- UI automation (uiauto.exe) ------------------------------------------------

struct Dialog {
  std::string title;
  std::string text;          // the message, line feeds included
  std::string icon;          // exclamation, hand, question, asterisk, none, unknown
  std::vector<int> buttons;  // control ids present: 1 OK, 2 Cancel, 6 Yes, 7 No ...
  bool topmost = false;      // stays above other programs' windows
};
// Waits for a visible dialog titled `title` ("-" for any), records it and,
// when `press` is given, presses that button and waits for the dialog to go.
std::optional<Dialog> waitDialog(const std::string& title, milliseconds timeout,
                                 std::optional<int> press = {});
Dialog parseDialog(const std::string& text);

struct Window {
  std::string handle, className, title;
  int x = 0, y = 0, width = 0, height = 0;  // screen coordinates
};
// Waits for a visible top-level window ("-" for any class or title).
std::optional<Window> waitWindow(const std::string& className, const std::string& title,
                                 milliseconds timeout);
// Waits until no such window is visible.
bool waitWindowGone(const std::string& className, const std::string& title, milliseconds timeout);
// Clicks a control by id (its WM_COMMAND) or a client point of the window.
bool click(const std::string& title, int controlId);
bool clickAt(const std::string& title, int x, int y);
std::optional<std::string> controlText(const std::string& title, int controlId);
bool closeWindow(const std::string& title);
// Any other uiauto command line; returns its exit code and stdout.
RunResult uiauto(const std::vector<std::string>& args, milliseconds timeout = milliseconds(30000));

// ---- Screenshots -------------------------------------------------------------

// The whole screen, or one window's area, to $KIT_ARTIFACTS/<name>.png.
fs::path screenshot(const std::string& name);
fs::path screenshotWindow(const std::string& name, const Window& window);

// ---- Files -----------------------------------------------------------------

using testsupport::readBytes;  // tests/support/files.h
// Text written by a Windows program: UTF-16LE (with BOM) or UTF-8 (BOM
// dropped) become UTF-8; anything else is taken as code page 936 (the ANSI
// code page of the test locale).
std::string readText(const fs::path& path);
std::string fromCodePage936(const std::string& bytes);
std::string toCodePage936(const std::string& utf8);

// One start recorded by recorder.exe in <exe>.log.
struct RecordedStart {
  int pid = 0;
  int show = -1;  // wShowWindow, or -1 when STARTF_USESHOWWINDOW was not set
  unsigned flags = 0;
  std::string cwd;
  std::string commandLine;
};
std::vector<RecordedStart> readRecorderLog(const fs::path& log);
std::vector<RecordedStart> parseRecorderLog(const std::string& text);

}  // namespace winetest
