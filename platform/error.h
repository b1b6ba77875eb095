#pragma once
// Errors of the operating system services, carrying the platform's error
// number and description, so that a caller's failure rule can show or drop
// them as the program requires.
#include <stdexcept>
#include <string>

namespace plat {

class PlatformError : public std::runtime_error {
 public:
  PlatformError(int number, const std::string& description)
      : std::runtime_error(description), number_(number) {}
  int number() const { return number_; }
  std::string description() const { return what(); }

 private:
  int number_;
};

// Error numbers the kit raises itself, in the numbering the hosts know.
inline constexpr int kErrOverflow = 6;
inline constexpr int kErrFileNotFound = 53;
inline constexpr int kErrFileAlreadyOpen = 55;
inline constexpr int kErrPermissionDenied = 70;
inline constexpr int kErrPathFileAccess = 75;
inline constexpr int kErrPathNotFound = 76;
inline constexpr int kErrInvalidProcedureCall = 5;

}  // namespace plat
