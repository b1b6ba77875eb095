// Time services on Windows.
#include <windows.h>

#include "platform/clock.h"

namespace plat {
namespace {

class WinClock : public Clock {
 public:
  WinClock() { ::QueryPerformanceFrequency(&frequency_); }
  double monotonicSeconds() override {
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency_.QuadPart);
  }
  Date today() override {
    SYSTEMTIME st;
    ::GetLocalTime(&st);
    return Date{st.wYear, st.wMonth, st.wDay};
  }

 private:
  LARGE_INTEGER frequency_{};
};

}  // namespace

std::unique_ptr<Clock> makeNativeClock() {
  return std::make_unique<WinClock>();
}

}  // namespace plat
