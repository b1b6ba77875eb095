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
inline constexpr int kErrBadFileName = 52;
inline constexpr int kErrDiskFull = 61;
inline constexpr int kErrTooManyFiles = 67;

// The description the hosts give each of the numbers above.
inline const char* errorText(int number) {
  switch (number) {
    case kErrInvalidProcedureCall:
      return "Invalid procedure call or argument";
    case kErrOverflow:
      return "Overflow";
    case kErrBadFileName:
      return "Bad file name or number";
    case kErrFileNotFound:
      return "File not found";
    case kErrFileAlreadyOpen:
      return "File already open";
    case kErrDiskFull:
      return "Disk full";
    case kErrTooManyFiles:
      return "Too many files";
    case kErrPermissionDenied:
      return "Permission denied";
    case kErrPathFileAccess:
      return "Path/File access error";
    case kErrPathNotFound:
      return "Path not found";
    default:
      return "Application-defined or object-defined error";
  }
}

// A PlatformError with the number's own description.
inline PlatformError errorOf(int number) {
  return PlatformError(number, errorText(number));
}

}  // namespace plat
