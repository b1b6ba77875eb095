#include "tests/wine/harness.h"

#include <fcntl.h>
#include <iconv.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/support/sql.h"
#include "tests/support/temp_folder.h"

extern char** environ;

namespace winetest {

namespace {

std::string getenvOr(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return v && *v ? std::string(v) : fallback;
}

std::string trimCr(std::string s) {
  while (!s.empty() && (s.back() == '\r' || s.back() == '\n')) s.pop_back();
  return s;
}

std::vector<std::string> splitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.push_back(trimCr(line));
  return lines;
}

std::string convert(const std::string& bytes, const char* from, const char* to) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1))
    throw std::runtime_error(std::string("iconv_open ") + from);
  std::string out;
  char* in = const_cast<char*>(bytes.data());
  size_t inLeft = bytes.size();
  char buf[4096];
  while (inLeft > 0) {
    char* o = buf;
    size_t oLeft = sizeof buf;
    size_t r = iconv(cd, &in, &inLeft, &o, &oLeft);
    out.append(buf, static_cast<size_t>(o - buf));
    if (r == static_cast<size_t>(-1) && errno != E2BIG) {
      // Keep what cannot be converted visible rather than losing it.
      out += '?';
      ++in;
      --inLeft;
    }
  }
  iconv_close(cd);
  return out;
}

// A unique, not yet existing child of `parent` named after `name`.
fs::path uniqueChild(const fs::path& parent, const std::string& name) {
  static std::mt19937 rng(std::random_device{}());
  for (int i = 0; i < 1000; ++i) {
    fs::path p = parent / fs::u8path(name + "-" + std::to_string(rng() % 1000000));
    std::error_code ec;
    if (fs::create_directories(p, ec) && !ec) return p;
  }
  throw std::runtime_error("cannot make a folder under " + parent.string());
}

}  // namespace

// ---- Environment -------------------------------------------------------------

const Environment& env() {
  static const Environment e = [] {
    Environment r;
    const char* state = std::getenv("KIT_WINE_STATE");
    if (!state || !*state)
      throw std::runtime_error("KIT_WINE_STATE is not set (register with kit_add_wine_test)");
    r.state = state;
    std::ifstream in(r.state / "env");
    if (!in)
      throw std::runtime_error("no " + (r.state / "env").string() +
                               ": the wine fixture has not run");
    std::string line;
    while (std::getline(in, line)) {
      auto eq = line.find('=');
      if (eq != std::string::npos) r.vars[line.substr(0, eq)] = line.substr(eq + 1);
    }
    r.prefix = r.vars.at("WINEPREFIX");
    r.winBin = getenvOr("KIT_WIN_BIN", "");
    r.artifacts = getenvOr("KIT_ARTIFACTS", (r.state.parent_path() / "artifacts").string());
    return r;
  }();
  return e;
}

// ---- Paths -------------------------------------------------------------------

std::string toWindowsPath(const fs::path& unixPath, const fs::path& prefix) {
  fs::path p = fs::absolute(unixPath).lexically_normal();
  fs::path c = fs::absolute(prefix / "drive_c").lexically_normal();
  std::string drive = "Z:";
  fs::path rel = p.relative_path();
  fs::path inC = p.lexically_relative(c);
  if (!inC.empty() && *inC.begin() != "..") {
    drive = "C:";
    rel = inC == "." ? fs::path() : inC;
  }
  std::string s = drive + "\\" + rel.generic_string();
  for (char& ch : s)
    if (ch == '/') ch = '\\';
  // "Z:\dir\" from a trailing separator keeps it; "C:\." never appears.
  return s;
}

std::string toWindowsPath(const fs::path& unixPath) {
  return toWindowsPath(unixPath, env().prefix);
}

fs::path toUnixPath(const std::string& windowsPath) {
  if (windowsPath.size() < 2 || windowsPath[1] != ':')
    throw std::runtime_error("not a drive path: " + windowsPath);
  std::string rest = windowsPath.substr(2);
  for (char& ch : rest)
    if (ch == '\\') ch = '/';
  while (!rest.empty() && rest.front() == '/') rest.erase(0, 1);
  char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(windowsPath[0])));
  fs::path root = fs::canonical(env().prefix / "dosdevices" / (std::string(1, letter) + ":"));
  return rest.empty() ? root : root / rest;
}

fs::path driveC() {
  return env().prefix / "drive_c";
}

void mapDrive(char letter, const fs::path& target) {
  fs::path link =
      env().prefix / "dosdevices" / (std::string(1, static_cast<char>(std::tolower(letter))) + ":");
  std::error_code ec;
  fs::remove(link, ec);
  fs::create_directory_symlink(fs::absolute(target), link);
}

void unmapDrive(char letter) {
  std::error_code ec;
  fs::remove(
      env().prefix / "dosdevices" / (std::string(1, static_cast<char>(std::tolower(letter))) + ":"),
      ec);
}

// ---- Program folders -----------------------------------------------------------

ProgramFolder::ProgramFolder(const std::string& name, Location where) {
  fs::path parent = where == Location::kDriveC ? driveC() / "kit-runs" : env().state / "runs";
  fs::create_directories(parent);
  path_ = uniqueChild(parent, name);
}

ProgramFolder::~ProgramFolder() {
  if (getenvOr("KIT_KEEP_RUNS", "") == "1") return;
  testsupport::removeTree(path_);
}

fs::path ProgramFolder::copyBinary(const std::string& name, const std::string& asName) const {
  fs::path src = env().winBin / name;
  if (!fs::exists(src))
    throw std::runtime_error("missing " + src.string() + " (build the mingw64 preset)");
  fs::path dst = file(asName.empty() ? name : asName);
  fs::create_directories(dst.parent_path());
  fs::copy_file(src, dst, fs::copy_options::overwrite_existing);
  return dst;
}

void ProgramFolder::write(const std::string& relative, const std::string& bytes) const {
  testsupport::writeBytes(file(relative), bytes);
}

std::string ProgramFolder::read(const std::string& relative) const {
  return readBytes(file(relative));
}

bool ProgramFolder::exists(const std::string& relative) const {
  return fs::exists(file(relative));
}

void makeApplicationDatabase(const fs::path& file) {
  testsupport::runSql(
      file,
      "CREATE TABLE usysbookind (yearnew TEXT, appath TEXT, path TEXT, dbpath TEXT);"
      "INSERT INTO usysbookind VALUES ('2000-01-01', '', '', '');");
}

std::string dayStamp() {
  const std::time_t now = std::time(nullptr);
  char buf[16];
  std::strftime(buf, sizeof buf, "%y%m%d", std::localtime(&now));
  return buf;
}

// ---- Processes ---------------------------------------------------------------

WineProcess WineProcess::start(const std::vector<std::string>& args, const StartOptions& options) {
  if (args.empty()) throw std::runtime_error("WineProcess::start without a program");
  const Environment& e = env();
  fs::path logs = e.state / "runs" / "logs";
  fs::create_directories(logs);
  WineProcess p;
  fs::path base = uniqueChild(logs, "p");
  p.outFile_ = base / "stdout";
  p.errFile_ = base / "stderr";

  std::map<std::string, std::string> vars;
  for (char** v = environ; *v; ++v) {
    std::string kv = *v;
    auto eq = kv.find('=');
    if (eq != std::string::npos) vars[kv.substr(0, eq)] = kv.substr(eq + 1);
  }
  for (const auto& [k, v] : e.vars) vars[k] = v;
  for (const auto& [k, v] : options.extraEnv) vars[k] = v;
  std::vector<std::string> envStrings;
  for (const auto& [k, v] : vars) envStrings.push_back(k + "=" + v);
  std::vector<char*> envp;
  for (auto& s : envStrings) envp.push_back(s.data());
  envp.push_back(nullptr);

  std::vector<std::string> argStrings{"wine"};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : argStrings) argv.push_back(s.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, p.outFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, p.errFile_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  if (!options.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, options.cwd.c_str());
  pid_t pid = 0;
  int rc = posix_spawnp(&pid, "wine", &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error(std::string("cannot start wine: ") + std::strerror(rc));
  p.pid_ = pid;
  return p;
}

WineProcess::WineProcess(WineProcess&& other) noexcept {
  *this = std::move(other);
}

WineProcess& WineProcess::operator=(WineProcess&& other) noexcept {
  if (this != &other) {
    kill();
    pid_ = other.pid_;
    status_ = other.status_;
    outFile_ = std::move(other.outFile_);
    errFile_ = std::move(other.errFile_);
    other.pid_ = -1;
  }
  return *this;
}

WineProcess::~WineProcess() {
  kill();
}

bool WineProcess::running() {
  if (pid_ < 0) return false;
  int status = 0;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == 0) return true;
  status_ = r == pid_ && WIFEXITED(status) ? WEXITSTATUS(status) : 255;
  pid_ = -1;
  return false;
}

std::optional<int> WineProcess::wait(milliseconds timeout) {
  if (waitUntil([this] { return !running(); }, timeout)) return status_;
  kill();
  return std::nullopt;
}

void WineProcess::kill() {
  if (pid_ < 0) return;
  // The wine loader is the Windows process itself: killing it ends the program.
  ::kill(pid_, SIGKILL);
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  status_ = 255;
}

std::string WineProcess::out() const {
  return outFile_.empty() ? std::string() : readBytes(outFile_);
}
std::string WineProcess::err() const {
  return errFile_.empty() ? std::string() : readBytes(errFile_);
}

RunResult run(const std::vector<std::string>& args, milliseconds timeout,
              const StartOptions& options) {
  WineProcess p = WineProcess::start(args, options);
  RunResult r;
  r.exitCode = p.wait(timeout);
  r.out = p.out();
  r.err = p.err();
  return r;
}

bool waitUntil(const std::function<bool()>& done, milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(milliseconds(50));
  }
}

// ---- Registry ----------------------------------------------------------------

namespace {

std::vector<std::string> regArgs(std::vector<std::string> args, RegView view) {
  args.insert(args.begin(), "reg");
  if (view == RegView::k32) args.push_back("/reg:32");
  if (view == RegView::k64) args.push_back("/reg:64");
  return args;
}

RunResult reg(const std::vector<std::string>& args, RegView view) {
  RunResult r = run(regArgs(args, view), milliseconds(60000));
  if (!r.exitCode) throw std::runtime_error("wine reg timed out");
  // reg writes a pipe or file in the console code page.
  r.out = fromCodePage936(r.out);
  return r;
}

}  // namespace

void regAdd(const std::string& key, const std::string& name, const std::string& type,
            const std::string& data, RegView view) {
  std::vector<std::string> args{"add", key};
  if (name.empty())
    args.push_back("/ve");
  else
    args.insert(args.end(), {"/v", name});
  args.insert(args.end(), {"/t", type, "/d", data, "/f"});
  RunResult r = reg(args, view);
  if (*r.exitCode != 0)
    throw std::runtime_error("reg add " + key + " " + name + " failed: " + r.out + r.err);
}

void regAddKey(const std::string& key, RegView view) {
  RunResult r = reg({"add", key, "/f"}, view);
  if (*r.exitCode != 0) throw std::runtime_error("reg add " + key + " failed: " + r.out + r.err);
}

std::optional<RegValue> regQuery(const std::string& key, const std::string& name, RegView view) {
  RunResult r = reg(name.empty() ? std::vector<std::string>{"query", key, "/ve"}
                                 : std::vector<std::string>{"query", key, "/v", name},
                    view);
  if (*r.exitCode != 0) return std::nullopt;
  return parseRegQuery(r.out, name);
}

bool regKeyExists(const std::string& key, RegView view) {
  return *reg({"query", key}, view).exitCode == 0;
}

void regDeleteKey(const std::string& key, RegView view) {
  reg({"delete", key, "/f"}, view);
}

void regDeleteValue(const std::string& key, const std::string& name, RegView view) {
  reg(name.empty() ? std::vector<std::string>{"delete", key, "/ve", "/f"}
                   : std::vector<std::string>{"delete", key, "/v", name, "/f"},
      view);
}

std::optional<RegValue> parseRegQuery(const std::string& output, const std::string& name) {
  // "    <name>    <TYPE>    <data>": four blanks separate the columns; the
  // data may itself hold blanks, so it is the rest of the line.
  const std::string sep = "    ";
  for (const std::string& line : splitLines(output)) {
    if (line.rfind(sep, 0) != 0) continue;
    std::string rest = line.substr(sep.size());
    auto a = rest.find(sep);
    if (a == std::string::npos) continue;
    std::string valueName = rest.substr(0, a);
    // The unnamed value is shown by its localised name.
    bool isDefault = valueName == "(Default)" || valueName == "(默认)";
    if (name.empty() ? !isDefault : valueName != name) continue;
    std::string tail = rest.substr(a + sep.size());
    auto b = tail.find(sep);
    RegValue v;
    v.type = tail.substr(0, b);
    v.data = b == std::string::npos ? std::string() : tail.substr(b + sep.size());
    return v;
  }
  return std::nullopt;
}

// ---- UI automation -------------------------------------------------------------

RunResult uiauto(const std::vector<std::string>& args, milliseconds timeout) {
  std::vector<std::string> full{(env().winBin / "uiauto.exe").string()};
  full.insert(full.end(), args.begin(), args.end());
  return run(full, timeout);
}

namespace {

std::string unescape(const std::string& s) {
  std::string r;
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 1 < s.size()) {
      char c = s[++i];
      r += c == 'n' ? '\n' : c == 'r' ? '\r' : c;
    } else {
      r += s[i];
    }
  }
  return r;
}

std::string ms(milliseconds t) {
  return std::to_string(t.count());
}

std::optional<Window> parseWindowLine(const std::string& line) {
  // handle \t class \t title \t x y w h
  std::vector<std::string> f;
  size_t start = 0;
  for (;;) {
    auto tab = line.find('\t', start);
    f.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  if (f.size() != 4) return std::nullopt;
  Window w{f[0], f[1], unescape(f[2])};
  std::istringstream(f[3]) >> w.x >> w.y >> w.width >> w.height;
  return w;
}

}  // namespace

Dialog parseDialog(const std::string& text) {
  Dialog d;
  for (const std::string& line : splitLines(text)) {
    auto eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::string key = line.substr(0, eq), value = unescape(line.substr(eq + 1));
    if (key == "title")
      d.title = value;
    else if (key == "text")
      d.text = value;
    else if (key == "icon")
      d.icon = value;
    else if (key == "topmost")
      d.topmost = value == "1";
    else if (key == "buttons") {
      std::istringstream in(value);
      std::string id;
      while (std::getline(in, id, ','))
        if (!id.empty()) d.buttons.push_back(std::stoi(id));
    }
  }
  return d;
}

std::optional<Dialog> waitDialog(const std::string& title, milliseconds timeout,
                                 std::optional<int> press) {
  std::vector<std::string> args{"wait-dialog", title, ms(timeout), "-"};
  if (press) {
    args.push_back("press");
    args.push_back(std::to_string(*press));
  }
  RunResult r = uiauto(args, timeout + milliseconds(30000));
  if (!r.exitCode || (*r.exitCode != 0 && *r.exitCode != 3)) return std::nullopt;
  if (*r.exitCode == 3) throw std::runtime_error("uiauto could not press button: " + r.err);
  return parseDialog(r.out);
}

std::optional<Window> waitWindow(const std::string& className, const std::string& title,
                                 milliseconds timeout) {
  RunResult r =
      uiauto({"wait-window", className, title, ms(timeout)}, timeout + milliseconds(30000));
  if (!r.exitCode || *r.exitCode != 0) return std::nullopt;
  return parseWindowLine(trimCr(r.out));
}

bool waitWindowGone(const std::string& className, const std::string& title, milliseconds timeout) {
  RunResult r = uiauto({"wait-gone", className, title, ms(timeout)}, timeout + milliseconds(30000));
  return r.exitCode && *r.exitCode == 0;
}

bool click(const std::string& title, int controlId) {
  RunResult r = uiauto({"click", title, std::to_string(controlId)});
  return r.exitCode && *r.exitCode == 0;
}

bool clickAt(const std::string& title, int x, int y) {
  RunResult r = uiauto({"click", title, std::to_string(x) + "," + std::to_string(y)});
  return r.exitCode && *r.exitCode == 0;
}

std::optional<std::string> controlText(const std::string& title, int controlId) {
  RunResult r = uiauto({"text", title, std::to_string(controlId)});
  if (!r.exitCode || *r.exitCode != 0) return std::nullopt;
  return trimCr(r.out);
}

bool closeWindow(const std::string& title) {
  RunResult r = uiauto({"close", title});
  return r.exitCode && *r.exitCode == 0;
}

// ---- Screenshots ---------------------------------------------------------------

namespace {

fs::path grab(const std::string& name, const std::string& crop) {
  const Environment& e = env();
  fs::create_directories(e.artifacts);
  fs::path png = e.artifacts / fs::u8path(name + ".png");
  std::string cmd = "import -display '" + e.vars.at("DISPLAY") + "' -window root " + crop + " '" +
                    png.string() + "' 2>/dev/null";
  if (std::system(cmd.c_str()) != 0) throw std::runtime_error("screenshot failed: " + cmd);
  return png;
}

}  // namespace

fs::path screenshot(const std::string& name) {
  return grab(name, "");
}

fs::path screenshotWindow(const std::string& name, const Window& w) {
  return grab(name, "-crop " + std::to_string(w.width) + "x" + std::to_string(w.height) + "+" +
                        std::to_string(w.x) + "+" + std::to_string(w.y) + " +repage");
}

// ---- Files -----------------------------------------------------------------------

std::string fromCodePage936(const std::string& bytes) {
  return convert(bytes, "CP936", "UTF-8");
}
std::string toCodePage936(const std::string& utf8) {
  return convert(utf8, "UTF-8", "CP936");
}

std::string readText(const fs::path& path) {
  std::string b = readBytes(path);
  if (b.size() >= 2 && static_cast<unsigned char>(b[0]) == 0xFF &&
      static_cast<unsigned char>(b[1]) == 0xFE)
    return convert(b.substr(2), "UTF-16LE", "UTF-8");
  if (b.size() >= 3 && b.compare(0, 3, "\xEF\xBB\xBF") == 0) return b.substr(3);
  // Valid UTF-8 stays as it is; otherwise it is the ANSI code page's.
  iconv_t cd = iconv_open("UTF-8", "UTF-8");
  char* in = b.data();
  size_t inLeft = b.size();
  std::string out(b.size() + 16, '\0');
  char* o = out.data();
  size_t oLeft = out.size();
  bool valid = iconv(cd, &in, &inLeft, &o, &oLeft) != static_cast<size_t>(-1);
  iconv_close(cd);
  return valid ? b : fromCodePage936(b);
}

std::vector<RecordedStart> parseRecorderLog(const std::string& text) {
  std::vector<RecordedStart> starts;
  for (const std::string& line : splitLines(text)) {
    if (line.empty()) continue;
    RecordedStart s;
    size_t pos = 0;
    while (pos < line.size()) {
      auto eq = line.find('=', pos);
      if (eq == std::string::npos) break;
      std::string key = line.substr(pos, eq - pos);
      if (key == "cmdline") {
        s.commandLine = line.substr(eq + 1);  // verbatim to the end
        break;
      }
      auto tab = line.find('\t', eq);
      std::string value =
          line.substr(eq + 1, tab == std::string::npos ? std::string::npos : tab - eq - 1);
      if (key == "pid")
        s.pid = std::stoi(value);
      else if (key == "show")
        s.show = std::stoi(value);
      else if (key == "flags")
        s.flags = static_cast<unsigned>(std::stoul(value, nullptr, 16));
      else if (key == "cwd")
        s.cwd = value;
      if (tab == std::string::npos) break;
      pos = tab + 1;
    }
    starts.push_back(s);
  }
  return starts;
}

std::vector<RecordedStart> readRecorderLog(const fs::path& log) {
  if (!fs::exists(log)) return {};
  return parseRecorderLog(readBytes(log));
}

}  // namespace winetest
