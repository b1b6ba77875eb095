#pragma once
// A file written on a thread of its own while the caller fills the next
// block. Windows-only.
#include <windows.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

namespace lumvex {

// The next block comes in from the network while the last one goes to
// disk (either alone takes about as long as the other). Two buffers of
// blockSize take turns.
class BlockWriter {
 public:
  BlockWriter(HANDLE file, DWORD blockSize) : file_(file), blockSize_(blockSize) {}
  BlockWriter(const BlockWriter&) = delete;
  BlockWriter& operator=(const BlockWriter&) = delete;
  ~BlockWriter() { finish(); }

  bool start() {
    for (auto& b : buffers_) {
      b.reset(new (std::nothrow) char[blockSize_]);
      if (!b) return false;
    }
    thread_ = std::thread([this] { run(); });
    return true;
  }
  char* next() const { return buffers_[next_].get(); }

  // Queues the buffer next() gave, filled with size bytes; false once a
  // write failed (error() tells why).
  bool submit(DWORD size) {
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [this] { return !pending_; });
    if (error_) return false;
    pending_ = buffers_[next_].get();
    pendingSize_ = size;
    next_ ^= 1;
    changed_.notify_all();
    return true;
  }
  // Waits for the last write; false when any write failed.
  bool finish() {
    if (thread_.joinable()) {
      {
        std::lock_guard<std::mutex> guard(lock_);
        closing_ = true;
      }
      changed_.notify_all();
      thread_.join();
    }
    return error_ == 0;
  }
  DWORD error() const { return error_; }

 private:
  void run() {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
      changed_.wait(guard, [this] { return pending_ || closing_; });
      if (!pending_) return;
      char* data = pending_;
      DWORD size = pendingSize_;
      guard.unlock();
      DWORD put = 0;
      DWORD error = 0;
      if (!error_ && (!WriteFile(file_, data, size, &put, nullptr) || put != size))
        error = GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
      guard.lock();
      if (error) error_ = error;
      pending_ = nullptr;
      changed_.notify_all();
    }
  }

  HANDLE file_;
  DWORD blockSize_;
  std::unique_ptr<char[]> buffers_[2];
  int next_ = 0;
  std::mutex lock_;
  std::condition_variable changed_;
  char* pending_ = nullptr;
  DWORD pendingSize_ = 0;
  bool closing_ = false;
  DWORD error_ = 0;
  std::thread thread_;
};

}  // namespace lumvex
