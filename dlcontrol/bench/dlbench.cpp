// Download benchmark: one large file over loopback, fetched by the control
// (engine + libcurl service, headless) and by the curl command line, in the
// same run against the same server. Prints throughput and the control's peak
// resident memory, and the processor time each took (user plus system),
// which a busy machine disturbs less than the elapsed time.
//
//   dlbench [--size-mib N] [--dir FOLDER] [--rounds R]
//
// The server runs in a child process so that its buffers do not count
// towards the control's memory.
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include "dlcontrol/curl_transfer.h"
#include "dlcontrol/engine.h"
#include "dlcontrol/posix_host.h"
#include "tests/support/http_server.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

long statusKiB(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const std::string key = std::string(field) + ":";
  while (std::getline(in, line)) {
    if (line.rfind(key, 0) == 0) return std::stol(line.substr(key.size()));
  }
  return -1;
}

// Forks the server; returns its pid and port.
pid_t startServer(int& port) {
  int fds[2];
  if (::pipe(fds) != 0) std::exit(2);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    testsupport::TestHttpServer server;
    const int p = server.port();
    if (::write(fds[1], &p, sizeof p) != sizeof p) std::_Exit(3);
    ::close(fds[1]);
    for (;;) ::pause();  // until the parent ends us
  }
  ::close(fds[1]);
  if (::read(fds[0], &port, sizeof port) != sizeof port) std::exit(2);
  ::close(fds[0]);
  return pid;
}

struct Result {
  double seconds = 0;
  double cpu = 0;
  bool ok = false;
};

double cpuSeconds(int who) {
  rusage u{};
  ::getrusage(who, &u);
  const auto s = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return s(u.ru_utime) + s(u.ru_stime);
}

Result runCurlCli(const std::string& url, const fs::path& out) {
  const std::string cmd = "curl -s -f -o '" + out.string() + "' '" + url + "'";
  const double c0 = cpuSeconds(RUSAGE_CHILDREN);
  const auto t0 = Clock::now();
  const int rc = std::system(cmd.c_str());
  Result r;
  r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  r.cpu = cpuSeconds(RUSAGE_CHILDREN) - c0;
  r.ok = rc == 0;
  return r;
}

Result runControl(const std::string& url, const fs::path& folder) {
  dl::CurlTransferOptions opt;
  opt.tempFolder = folder.string();
  dl::CurlTransfer transfer(opt);
  dl::PosixControlPlatform platform(transfer);
  dl::HeadlessSurface surface;
  dl::HeadlessContainer container;
  struct Events : dl::ControlEvents {
    void DLError(dl::bkDLError e, std::string text) override {
      std::cerr << "DLError " << e << ": " << text << "\n";
    }
  } events;
  dl::bkDLControl control(dl::ControlServices{transfer, surface, container, platform, events});
  surface.attach(&control);
  control.InitNew();
  control.putSaveFilePath(folder.string());
  control.putFileURL(url);
  const double c0 = cpuSeconds(RUSAGE_SELF);
  const auto t0 = Clock::now();
  Result r;
  r.ok = control.BeginDownload(true);
  r.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  r.cpu = cpuSeconds(RUSAGE_SELF) - c0;
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t sizeMiB = 1024;
  int rounds = 2;
  fs::path dir = fs::temp_directory_path();
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--size-mib") sizeMiB = std::stoull(argv[i + 1]);
    if (a == "--dir") dir = argv[i + 1];
    if (a == "--rounds") rounds = std::stoi(argv[i + 1]);
  }
  const uint64_t size = sizeMiB << 20;
  std::string pattern = (dir / "dlbench-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) {
    std::perror("mkdtemp");
    return 2;
  }
  const fs::path work = pattern;
  fs::create_directories(work / "curl");
  fs::create_directories(work / "control");

  int port = 0;
  const pid_t server = startServer(port);
  const std::string url =
      "http://127.0.0.1:" + std::to_string(port) + "/data/" + std::to_string(size) + "/bench.bin";
  const long rssBefore = statusKiB("VmRSS");

  double bestCurl = 1e9, bestControl = 1e9, cpuCurl = 1e9, cpuControl = 1e9;
  bool ok = true;
  for (int round = 0; round < rounds; ++round) {
    const Result c = runCurlCli(url, work / "curl" / "bench.bin");
    const Result d = runControl(url, work / "control");
    ok = ok && c.ok && d.ok && fs::file_size(work / "control" / "bench.bin") == size &&
         fs::file_size(work / "curl" / "bench.bin") == size;
    bestCurl = std::min(bestCurl, c.seconds);
    bestControl = std::min(bestControl, d.seconds);
    cpuCurl = std::min(cpuCurl, c.cpu);
    cpuControl = std::min(cpuControl, d.cpu);
    std::printf("round %d: curl %.3f s (cpu %.3f s), control %.3f s (cpu %.3f s)\n", round + 1,
                c.seconds, c.cpu, d.seconds, d.cpu);
    fs::remove(work / "curl" / "bench.bin");
    fs::remove(work / "control" / "bench.bin");
  }
  ::kill(server, SIGTERM);
  ::waitpid(server, nullptr, 0);
  fs::remove_all(work);

  const double mib = static_cast<double>(sizeMiB);
  std::printf("size            %llu MiB\n", static_cast<unsigned long long>(sizeMiB));
  std::printf("curl (cli)      %.1f MiB/s\n", mib / bestCurl);
  std::printf("control         %.1f MiB/s  (%.2f of curl)\n", mib / bestControl,
              bestCurl / bestControl);
  std::printf("cpu time        curl %.3f s, control %.3f s  (%.2f of curl's)\n", cpuCurl,
              cpuControl, cpuControl / cpuCurl);
  std::printf("peak RSS        %.1f MiB (before the downloads %.1f MiB)\n",
              static_cast<double>(statusKiB("VmHWM")) / 1024.0,
              static_cast<double>(rssBefore) / 1024.0);
  if (!ok) std::printf("FAILED: a download did not complete with the full size\n");
  return ok ? 0 : 1;
}
