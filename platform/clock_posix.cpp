// Time services on POSIX.
#include <time.h>

#include "platform/clock.h"

namespace plat {
namespace {

class PosixClock : public Clock {
 public:
  double monotonicSeconds() override {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
  }
  Date today() override {
    const time_t now = ::time(nullptr);
    tm local{};
    ::localtime_r(&now, &local);
    return Date{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday};
  }
};

}  // namespace

std::unique_ptr<Clock> makeNativeClock() {
  return std::make_unique<PosixClock>();
}

}  // namespace plat
