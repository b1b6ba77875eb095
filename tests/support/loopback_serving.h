#pragma once
// Serves an httplib server, its routes already set, on a loopback port from
// a thread of its own, for the tests' local servers. Include <httplib.h>
// first (with CPPHTTPLIB_OPENSSL_SUPPORT defined where TLS is served).
#include <httplib.h>

#include <chrono>
#include <thread>

namespace testsupport {

class LoopbackServing {
 public:
  // Returns once the server accepts connections.
  explicit LoopbackServing(httplib::Server& server) : server_(server) {
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  // Stops the server and waits for its thread: release any handler that
  // holds a connection open first.
  ~LoopbackServing() {
    server_.stop();
    thread_.join();
  }
  LoopbackServing(const LoopbackServing&) = delete;
  LoopbackServing& operator=(const LoopbackServing&) = delete;

  int port() const { return port_; }

 private:
  httplib::Server& server_;
  int port_ = 0;
  std::thread thread_;
};

}  // namespace testsupport
