#pragma once
// The registry on POSIX: a store file in the ".reg" text format that
// registry editors import and export.
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_CURRENT_USER\Software\Microsoft\Office\11.0\Access\Security]
//   "Level"=dword:00000001
//
// Read: a "REGEDIT4" or "Windows Registry Editor Version 5.00" header, UTF-8
// (with or without BOM) or UTF-16LE with BOM, sections "[root\path]" (also
// "[-root\path]", which deletes), values "name"= or @= with a "string",
// dword:hhhhhhhh, hex:..., hex(n):... (lines continued by "\"), or - (deletes).
// Root names may be spelt out or abbreviated (HKCU, HKLM, HKCR, HKU). Key and
// value names match without case, as on Windows; a key's parents exist too.
// Written: UTF-8 without BOM, version 5.00 header, keys in name order; a string
// holding line breaks or NULs is written as hex(1) (UTF-16LE).
//
// The file is read afresh by every call, so other processes' changes are
// seen, and replaced as a whole (write to "<file>.tmp", rename) by every
// change, under an exclusive lock on "<file>.lock". A store with lines it does
// not understand is still read, but never rewritten: changes then fail rather
// than drop what could not be read. The store holds one view: HKEY_LOCAL_MACHINE
// is what the 32-bit programs see.
//
// makeNativeRegistry() on POSIX throws PlatformError(kErrInvalidProcedureCall):
// there is no system store; construct a PosixRegistry with the file to use.
#include <string>

#include "platform/registry.h"

namespace plat {

class PosixRegistry : public Registry {
 public:
  explicit PosixRegistry(std::string storePath);

  RegQuery queryValue(RegRoot root, const std::string& subkey, const std::string& name,
                      size_t bufferBytes) override;
  bool createKey(RegRoot root, const std::string& subkey) override;
  bool setDword(RegRoot root, const std::string& subkey, const std::string& name,
                uint32_t value) override;
  std::optional<uint32_t> getDword(RegRoot root, const std::string& subkey,
                                   const std::string& name) override;

  // Writes a string value (REG_SZ), creating the key when missing; for set-up
  // of stores and tests. False when the store cannot be written.
  bool setString(RegRoot root, const std::string& subkey, const std::string& name,
                 const std::string& value);

  const std::string& storePath() const { return path_; }

 private:
  std::string path_;
};

}  // namespace plat
