#pragma once
// An in-process HTTP(S) server for the transfer tests and the benchmark.
// Routes:
//   /data/<n>/<name>     n bytes of the pattern, with a length
//   /chunked/<n>/<name>  n bytes of the pattern, chunked (no length)
//   /empty/<name>        200 with an empty body
//   /status/<code>       that status code with a short body
//   /redirect/<n>/<name> 302 to /data/<n>/moved-<name> (a relative location)
//   /stall/<name>        a length of 1000, 100 bytes, then silence
//   /silent/<name>       no answer at all
// The server runs on its own thread; stop() (or the destructor) ends it and
// releases the handlers that hold connections open.
#ifndef CPPHTTPLIB_OPENSSL_SUPPORT
#define CPPHTTPLIB_OPENSSL_SUPPORT
#endif
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

namespace testsupport {

// Byte i of every served body: a period of 251 (a prime) so that a shifted
// or repeated block shows.
inline char patternByte(uint64_t i) {
  return static_cast<char>(i % 251);
}

// A block of the pattern starting at offset 0; any slice of it starting at
// (offset % 251) continues the pattern from that offset.
inline const std::string& patternBlock() {
  static const std::string block = [] {
    std::string b(251 * 4096, '\0');
    for (size_t i = 0; i < b.size(); ++i) b[i] = patternByte(i);
    return b;
  }();
  return block;
}

// Writes bytes [offset, offset+length) of the pattern through `sink` in
// pieces of up to ~1 MiB; false when the client went away.
inline bool writePattern(httplib::DataSink& sink, uint64_t offset, uint64_t length) {
  const std::string& block = patternBlock();
  while (length > 0) {
    const size_t start = offset % 251;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(length, block.size() - start));
    if (!sink.write(block.data() + start, n)) return false;
    offset += n;
    length -= n;
  }
  return true;
}

class TestHttpServer {
 public:
  // Plain HTTP, or HTTPS when a certificate and key file are given.
  explicit TestHttpServer(const std::string& certFile = "", const std::string& keyFile = "") {
    if (certFile.empty()) {
      server_ = std::make_unique<httplib::Server>();
    } else {
      server_ = std::make_unique<httplib::SSLServer>(certFile.c_str(), keyFile.c_str());
    }
    auto& s = *server_;
    s.new_task_queue = [] { return new httplib::ThreadPool(8); };
    s.Get(R"(/data/(\d+)/.*)", [this](const httplib::Request& req, httplib::Response& res) {
      ++hits;
      const uint64_t n = std::stoull(req.matches[1]);
      res.set_content_provider(n, "application/octet-stream",
                               [](size_t offset, size_t length, httplib::DataSink& sink) {
                                 return writePattern(sink, offset, length);
                               });
    });
    s.Get(R"(/chunked/(\d+)/.*)", [this](const httplib::Request& req, httplib::Response& res) {
      ++hits;
      const uint64_t n = std::stoull(req.matches[1]);
      res.set_chunked_content_provider("text/plain", [n](size_t offset, httplib::DataSink& sink) {
        const uint64_t piece = std::min<uint64_t>(n - offset, 7000);
        if (piece > 0 && !writePattern(sink, offset, piece)) return false;
        if (offset + piece >= n) sink.done();
        return true;
      });
    });
    s.Get(R"(/empty/.*)", [this](const httplib::Request&, httplib::Response& res) {
      ++hits;
      res.set_content("", "text/plain");
    });
    s.Get(R"(/status/(\d+))", [this](const httplib::Request& req, httplib::Response& res) {
      ++hits;
      res.status = std::stoi(req.matches[1]);
      res.set_content("error page", "text/plain");
    });
    s.Get(R"(/redirect/(\d+)/(.*))", [this](const httplib::Request& req, httplib::Response& res) {
      ++hits;
      res.status = 302;
      res.set_header("Location", "/data/" + std::string(req.matches[1]) + "/moved-" +
                                     std::string(req.matches[2]));
      res.set_content("moved", "text/plain");
    });
    s.Get(R"(/stall/.*)", [this](const httplib::Request&, httplib::Response& res) {
      ++hits;
      res.set_content_provider(1000, "application/octet-stream",
                               [this](size_t offset, size_t, httplib::DataSink& sink) {
                                 if (offset == 0) return writePattern(sink, 0, 100);
                                 holdUntilStopped();
                                 return false;
                               });
    });
    s.Get(R"(/silent/.*)", [this](const httplib::Request&, httplib::Response& res) {
      ++hits;
      holdUntilStopped();
      res.status = 500;
    });
    port_ = s.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }

  ~TestHttpServer() { stop(); }

  void stop() {
    if (!thread_.joinable()) return;
    stopping_ = true;
    server_->stop();
    thread_.join();
  }

  int port() const { return port_; }
  std::string url(const std::string& path, const std::string& scheme = "http",
                  const std::string& host = "127.0.0.1") const {
    return scheme + "://" + host + ":" + std::to_string(port_) + path;
  }

  std::atomic<int> hits{0};

 private:
  void holdUntilStopped() {
    while (!stopping_) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  std::atomic<bool> stopping_{false};
  int port_ = 0;
};

}  // namespace testsupport
