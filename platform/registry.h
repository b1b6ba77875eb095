#pragma once
// Registry services shaped after the Win32 calls the launcher makes. On
// Windows this is the real registry; on POSIX a file-backed store in the
// ".reg" text format (see PosixRegistry). HKEY_LOCAL_MACHINE keys are opened
// in the 32-bit view, as the original 32-bit program saw them. Window thread.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace plat {

enum class RegRoot { kClassesRoot, kCurrentUser, kLocalMachine, kUsers };

struct RegQuery {
  enum class Status { kOk, kNoKey, kNoValue, kMoreData } status = Status::kNoKey;
  uint32_t type = 0;  // REG_SZ 1, REG_DWORD 4, ...
  std::string data;   // raw bytes, as RegQueryValueExA would put them in the buffer
};

class Registry {
 public:
  virtual ~Registry() = default;
  // RegOpenKey + RegQueryValueExA into a buffer of `bufferBytes` bytes.
  // A string value is returned as ANSI-decoded UTF-8 with its terminating NUL.
  virtual RegQuery queryValue(RegRoot root, const std::string& subkey, const std::string& name,
                              size_t bufferBytes) = 0;
  // RegCreateKeyEx: creates the key or opens it; false on failure.
  virtual bool createKey(RegRoot root, const std::string& subkey) = 0;
  // RegOpenKeyEx + RegSetValueEx(REG_DWORD): false when the key cannot be
  // opened (nothing is written then).
  virtual bool setDword(RegRoot root, const std::string& subkey, const std::string& name,
                        uint32_t value) = 0;
  virtual std::optional<uint32_t> getDword(RegRoot root, const std::string& subkey,
                                           const std::string& name) = 0;
};

// Windows: the system registry. POSIX has none: this throws PlatformError
// (kErrInvalidProcedureCall); construct a PosixRegistry on a store file.
std::unique_ptr<Registry> makeNativeRegistry();

}  // namespace plat
