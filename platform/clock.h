#pragma once
// Time services: a monotonic clock for pauses and the local calendar date.
#include <memory>
#include <string>

namespace plat {

struct Date {
  int year = 2000;
  int month = 1;
  int day = 1;
  bool operator==(const Date&) const = default;
};

class Clock {
 public:
  virtual ~Clock() = default;
  // Seconds on a clock that never goes backwards (not the time of day).
  virtual double monotonicSeconds() = 0;
  virtual Date today() = 0;
};

std::unique_ptr<Clock> makeNativeClock();

// "yymmdd": two-digit year, month and day.
std::string formatYymmdd(const Date& d);
// ISO 8601 calendar date, "yyyy-mm-dd".
std::string formatIsoDate(const Date& d);

}  // namespace plat
