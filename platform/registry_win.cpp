// The Windows registry through the W calls. Keys of HKEY_LOCAL_MACHINE are
// opened in the 32-bit view, reads and writes alike, so that the kit sees what
// the 32-bit programs around it see; the other roots are not redirected.
#include <windows.h>

#include <vector>

#include "platform/registry.h"
#include "platform/text.h"
#include "platform/win/unique_handle.h"
#include "platform/win/wide.h"

namespace plat {
namespace {

using win::UniqueRegKey;
using win::widen;

constexpr REGSAM kAccessAll63 = KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY |
                                KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY | KEY_CREATE_LINK;

HKEY rootKey(RegRoot root) {
  switch (root) {
    case RegRoot::kClassesRoot:
      return HKEY_CLASSES_ROOT;
    case RegRoot::kCurrentUser:
      return HKEY_CURRENT_USER;
    case RegRoot::kLocalMachine:
      return HKEY_LOCAL_MACHINE;
    case RegRoot::kUsers:
      return HKEY_USERS;
  }
  return HKEY_CURRENT_USER;
}

REGSAM view(RegRoot root) {
  return root == RegRoot::kLocalMachine ? KEY_WOW64_32KEY : 0;
}

bool isStringType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

class WinRegistry : public Registry {
 public:
  RegQuery queryValue(RegRoot root, const std::string& subkey, const std::string& name,
                      size_t bufferBytes) override {
    RegQuery q;
    UniqueRegKey key;
    if (::RegOpenKeyExW(rootKey(root), widen(subkey).c_str(), 0, KEY_QUERY_VALUE | view(root),
                        key.put()) != ERROR_SUCCESS)
      return q;  // kNoKey
    const std::wstring wname = widen(name);
    DWORD type = 0;
    DWORD size = 0;
    LSTATUS r = ::RegQueryValueExW(key.get(), wname.c_str(), nullptr, &type, nullptr, &size);
    if (r != ERROR_SUCCESS) {
      q.status = RegQuery::Status::kNoValue;
      return q;
    }
    std::vector<BYTE> data;
    do {
      data.resize(size + sizeof(wchar_t) * 2);
      size = static_cast<DWORD>(data.size());
      r = ::RegQueryValueExW(key.get(), wname.c_str(), nullptr, &type, data.data(), &size);
    } while (r == ERROR_MORE_DATA);
    if (r != ERROR_SUCCESS) {
      q.status = RegQuery::Status::kNoValue;
      return q;
    }
    data.resize(size);
    q.type = type;
    std::string out;
    size_t needed = size;
    if (isStringType(type)) {
      // Sized as the ANSI call sizes it: the text in the code page and its NUL(s).
      std::wstring text(reinterpret_cast<const wchar_t*>(data.data()), size / sizeof(wchar_t));
      while (!text.empty() && text.back() == L'\0') text.pop_back();
      const size_t terminators = type == REG_MULTI_SZ ? 2 : 1;
      const std::string utf8 = win::narrow(text);
      needed = utf8ToAnsi(utf8).size() + terminators;
      out = utf8;
      out.append(terminators, '\0');
    } else {
      out.assign(reinterpret_cast<const char*>(data.data()), size);
    }
    if (needed > bufferBytes) {
      q.status = RegQuery::Status::kMoreData;
      return q;
    }
    q.status = RegQuery::Status::kOk;
    q.data = std::move(out);
    return q;
  }

  bool createKey(RegRoot root, const std::string& subkey) override {
    UniqueRegKey key;
    return ::RegCreateKeyExW(rootKey(root), widen(subkey).c_str(), 0, nullptr,
                             REG_OPTION_NON_VOLATILE, kAccessAll63 | view(root), nullptr, key.put(),
                             nullptr) == ERROR_SUCCESS;
  }

  bool setDword(RegRoot root, const std::string& subkey, const std::string& name,
                uint32_t value) override {
    UniqueRegKey key;
    if (::RegOpenKeyExW(rootKey(root), widen(subkey).c_str(), 0, kAccessAll63 | view(root),
                        key.put()) != ERROR_SUCCESS)
      return false;
    const DWORD d = value;
    return ::RegSetValueExW(key.get(), widen(name).c_str(), 0, REG_DWORD,
                            reinterpret_cast<const BYTE*>(&d), sizeof d) == ERROR_SUCCESS;
  }

  std::optional<uint32_t> getDword(RegRoot root, const std::string& subkey,
                                   const std::string& name) override {
    UniqueRegKey key;
    if (::RegOpenKeyExW(rootKey(root), widen(subkey).c_str(), 0, KEY_QUERY_VALUE | view(root),
                        key.put()) != ERROR_SUCCESS)
      return std::nullopt;
    DWORD type = 0;
    DWORD d = 0;
    DWORD size = sizeof d;
    if (::RegQueryValueExW(key.get(), widen(name).c_str(), nullptr, &type,
                           reinterpret_cast<BYTE*>(&d), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof d)
      return std::nullopt;
    return d;
  }
};

}  // namespace

std::unique_ptr<Registry> makeNativeRegistry() {
  return std::make_unique<WinRegistry>();
}

}  // namespace plat
