// File-backed registry in the ".reg" text format (see registry_posix.h).
#include "platform/registry_posix.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <map>
#include <optional>
#include <utility>
#include <vector>

#include "platform/error.h"
#include "platform/text.h"

namespace plat {
namespace {

constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegExpandSz = 2;
constexpr uint32_t kRegDword = 4;
constexpr uint32_t kRegMultiSz = 7;

bool isStringType(uint32_t type) {
  return type == kRegSz || type == kRegExpandSz || type == kRegMultiSz;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// String values hold UTF-8 text without terminator (multi-strings with NUL
// between the parts); everything else raw bytes.
struct Value {
  std::string name;
  uint32_t type = kRegSz;
  std::string data;
};

struct Key {
  std::string name;  // full path as first written, with the root spelt out
  std::vector<Value> values;

  Value* find(const std::string& valueName) {
    const std::string l = lower(valueName);
    for (Value& v : values)
      if (lower(v.name) == l) return &v;
    return nullptr;
  }
};

struct Store {
  std::map<std::string, Key> keys;  // by lower-case full path
  bool clean = true;                // every line understood

  Key* find(const std::string& path) {
    const auto it = keys.find(lower(path));
    return it == keys.end() ? nullptr : &it->second;
  }
  // Adds the key and its parents (roots are not stored).
  Key& add(const std::string& path) {
    size_t pos = path.find('\\');
    while (pos != std::string::npos) {
      // The root itself (before the first separator) is not a stored key.
      const std::string parent = path.substr(0, pos);
      if (parent.find('\\') != std::string::npos) keys.try_emplace(lower(parent), Key{parent, {}});
      pos = path.find('\\', pos + 1);
    }
    return keys.try_emplace(lower(path), Key{path, {}}).first->second;
  }
  void erase(const std::string& path) {
    const std::string l = lower(path);
    for (auto it = keys.begin(); it != keys.end();) {
      if (it->first == l || it->first.rfind(l + "\\", 0) == 0)
        it = keys.erase(it);
      else
        ++it;
    }
  }
};

const char* rootName(RegRoot root) {
  switch (root) {
    case RegRoot::kClassesRoot:
      return "HKEY_CLASSES_ROOT";
    case RegRoot::kCurrentUser:
      return "HKEY_CURRENT_USER";
    case RegRoot::kLocalMachine:
      return "HKEY_LOCAL_MACHINE";
    case RegRoot::kUsers:
      return "HKEY_USERS";
  }
  return "HKEY_CURRENT_USER";
}

// Spells out an abbreviated root; empty when the root is unknown.
std::string canonicalKeyPath(const std::string& path) {
  const size_t slash = path.find('\\');
  const std::string head = lower(path.substr(0, slash));
  const std::string rest = slash == std::string::npos ? std::string() : path.substr(slash);
  static const std::pair<const char*, const char*> kRoots[] = {
      {"hkey_classes_root", "HKEY_CLASSES_ROOT"},
      {"hkcr", "HKEY_CLASSES_ROOT"},
      {"hkey_current_user", "HKEY_CURRENT_USER"},
      {"hkcu", "HKEY_CURRENT_USER"},
      {"hkey_local_machine", "HKEY_LOCAL_MACHINE"},
      {"hklm", "HKEY_LOCAL_MACHINE"},
      {"hkey_users", "HKEY_USERS"},
      {"hku", "HKEY_USERS"}};
  for (const auto& [abbr, full] : kRoots)
    if (head == abbr) return full + rest;
  return std::string();
}

// The full path of root + subkey; empty when the subkey is malformed (empty
// parts), which the Win32 calls refuse as well.
std::string keyPath(RegRoot root, const std::string& subkey) {
  std::string sub = subkey;
  while (!sub.empty() && sub.back() == '\\') sub.pop_back();
  if (sub.empty()) return rootName(root);
  if (sub.front() == '\\' || sub.find("\\\\") != std::string::npos) return std::string();
  return std::string(rootName(root)) + "\\" + sub;
}

void appendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::string utf16leToUtf8(const std::string& bytes) {
  std::string out;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
    uint32_t u =
        static_cast<unsigned char>(bytes[i]) | (static_cast<unsigned char>(bytes[i + 1]) << 8);
    if (u >= 0xD800 && u < 0xDC00 && i + 3 < bytes.size()) {
      const uint32_t lo = static_cast<unsigned char>(bytes[i + 2]) |
                          (static_cast<unsigned char>(bytes[i + 3]) << 8);
      if (lo >= 0xDC00 && lo < 0xE000) {
        u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
        i += 2;
      }
    }
    appendUtf8(out, u);
  }
  return out;
}

std::string utf8ToUtf16le(const std::string& text) {
  std::string out;
  auto put = [&out](uint32_t u) {
    out.push_back(static_cast<char>(u & 0xFF));
    out.push_back(static_cast<char>(u >> 8));
  };
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    uint32_t cp = c;
    size_t len = 1;
    if (c >= 0xF0) {
      len = 4;
      cp = c & 0x07;
    } else if (c >= 0xE0) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xC0) {
      len = 2;
      cp = c & 0x1F;
    }
    if (i + len > text.size()) {
      len = 1;
      cp = '?';
    }
    for (size_t k = 1; k < len; ++k)
      cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    i += len;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      put(0xD800 + (cp >> 10));
      put(0xDC00 + (cp & 0x3FF));
    } else {
      put(cp);
    }
  }
  return out;
}

// Reads a quoted string at `pos` (on the opening quote); moves past the
// closing quote. False when it does not close.
bool readQuoted(const std::string& line, size_t& pos, std::string& out) {
  out.clear();
  for (size_t i = pos + 1; i < line.size(); ++i) {
    if (line[i] == '\\' && i + 1 < line.size()) {
      out.push_back(line[++i]);
    } else if (line[i] == '"') {
      pos = i + 1;
      return true;
    } else {
      out.push_back(line[i]);
    }
  }
  return false;
}

bool parseHexBytes(const std::string& text, std::string& out) {
  out.clear();
  size_t i = 0;
  while (i < text.size()) {
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t' || text[i] == ',')) ++i;
    if (i >= text.size()) break;
    if (i + 1 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i])) ||
        !std::isxdigit(static_cast<unsigned char>(text[i + 1])))
      return false;
    out.push_back(static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16)));
    i += 2;
  }
  return true;
}

// String-typed data from a file's bytes into the store's UTF-8 form.
std::string decodeStringData(const std::string& bytes, bool unicode) {
  std::string text = unicode ? utf16leToUtf8(bytes) : ansiToUtf8(bytes);
  while (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

// The file's text as UTF-8: a UTF-16LE file (regedit's own) is converted,
// a UTF-8 byte-order mark dropped.
std::string fileText(std::string text) {
  if (text.size() >= 2 && static_cast<unsigned char>(text[0]) == 0xFF &&
      static_cast<unsigned char>(text[1]) == 0xFE)
    return utf16leToUtf8(text.substr(2));
  if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);
  return text;
}

void trimTrailingBlanks(std::string& s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
}

size_t skipBlanks(const std::string& s, size_t pos) {
  while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\t')) ++pos;
  return pos;
}

// Logical lines: a value line ending in "\" continues on the next, whose
// leading blanks are dropped.
std::vector<std::string> logicalLines(const std::string& text) {
  std::vector<std::string> lines;
  std::string current;
  bool continuing = false;
  for (size_t start = 0; start <= text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    start = end + 1;
    if (continuing)
      current += line.substr(std::min(skipBlanks(line, 0), line.size()));
    else
      current = line;
    trimTrailingBlanks(current);
    continuing = !current.empty() && current.back() == '\\' &&
                 current.find('=') != std::string::npos && current.front() != '[';
    if (continuing)
      current.pop_back();
    else
      lines.push_back(current);
  }
  return lines;
}

// "[path]" opens a key (made with its parents), "[-path]" removes one with
// everything below it. False when the line is malformed; `key` is the key
// later value lines go to (none after a removal or a malformed line).
bool applyKeyLine(const std::string& line, Store& store, Key*& key) {
  key = nullptr;
  if (line.back() != ']') return false;
  const bool remove = line.size() > 1 && line[1] == '-';
  std::string path = canonicalKeyPath(line.substr(remove ? 2 : 1, line.size() - (remove ? 3 : 2)));
  while (!path.empty() && path.back() == '\\') path.pop_back();
  if (path.empty()) return false;
  if (remove)
    store.erase(path);
  else
    key = &store.add(path);
  return true;
}

// dword:xxxxxxxx, stored little-endian.
std::optional<std::string> dwordData(const std::string& hex) {
  if (hex.empty() || hex.size() > 8 ||
      hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
    return std::nullopt;
  const uint32_t d = static_cast<uint32_t>(std::stoul(hex, nullptr, 16));
  return std::string{static_cast<char>(d & 0xFF), static_cast<char>((d >> 8) & 0xFF),
                     static_cast<char>((d >> 16) & 0xFF), static_cast<char>(d >> 24)};
}

// hex:.. (binary) or hex(t):.. (type t in hexadecimal) into `v`.
bool hexData(const std::string& rhs, bool unicode, Value& v) {
  const size_t colon = rhs.find(':');
  v.type = 3;
  if (rhs[3] == '(') {
    const size_t close = rhs.find(')');
    if (close == std::string::npos || close + 1 != colon || close <= 4) return false;
    const std::string t = rhs.substr(4, close - 4);
    if (t.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return false;
    v.type = static_cast<uint32_t>(std::stoul(t, nullptr, 16));
  }
  std::string bytes;
  if (!parseHexBytes(rhs.substr(colon + 1), bytes)) return false;
  v.data = isStringType(v.type) ? decodeStringData(bytes, unicode) : bytes;
  return true;
}

// The data after "=": a quoted string, a dword or hex bytes.
bool valueData(const std::string& rhs, bool unicode, Value& v) {
  if (!rhs.empty() && rhs[0] == '"') {
    size_t p = 0;
    v.type = kRegSz;
    return readQuoted(rhs, p, v.data) && p == rhs.size();
  }
  if (lower(rhs.substr(0, 6)) == "dword:") {
    const auto data = dwordData(rhs.substr(6));
    if (!data) return false;
    v.type = kRegDword;
    v.data = *data;
    return true;
  }
  const std::string head = lower(rhs.substr(0, 4));
  if (head == "hex:" || head == "hex(") return hexData(rhs, unicode, v);
  return false;
}

// "name"=data or @=data sets a value of `key`, "name"=- removes it. False
// when the line is malformed or no key is open.
bool applyValueLine(const std::string& line, Key* key, bool unicode) {
  Value v;
  size_t pos = 0;
  if (line[0] == '@')
    pos = 1;
  else if (line[0] != '"' || !readQuoted(line, pos, v.name))
    return false;
  pos = skipBlanks(line, pos);
  if (key == nullptr || pos >= line.size() || line[pos] != '=') return false;
  const std::string rhs = line.substr(skipBlanks(line, pos + 1));
  if (rhs == "-") {
    std::erase_if(key->values, [&](const Value& x) { return lower(x.name) == lower(v.name); });
    return true;
  }
  if (!valueData(rhs, unicode, v)) return false;
  if (Value* existing = key->find(v.name))
    *existing = std::move(v);
  else
    key->values.push_back(std::move(v));
  return true;
}

// What the store keeps of a file. Lines it does not understand are skipped
// and mark the store unclean, so that a write never drops them silently.
Store parse(const std::string& fileBytes) {
  Store store;
  bool unicode = true;  // version 5.00: hex(2)/hex(7) data is UTF-16LE
  bool headerSeen = false;
  Key* key = nullptr;
  for (const std::string& line : logicalLines(fileText(fileBytes))) {
    if (line.empty() || line[0] == ';') continue;
    if (!headerSeen) {
      headerSeen = true;
      if (line == "Windows Registry Editor Version 5.00") continue;
      if (line == "REGEDIT4") {
        unicode = false;
        continue;
      }
      store.clean = false;
    }
    const bool understood =
        line[0] == '[' ? applyKeyLine(line, store, key) : applyValueLine(line, key, unicode);
    if (!understood) store.clean = false;
  }
  return store;
}

std::string quote(const std::string& s) {
  std::string out = "\"";
  for (const char c : s) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

std::string hexList(uint32_t type, const std::string& bytes) {
  char head[24];
  if (type == 3)
    std::snprintf(head, sizeof head, "hex:");
  else
    std::snprintf(head, sizeof head, "hex(%x):", static_cast<unsigned>(type));
  std::string out = head;
  for (size_t i = 0; i < bytes.size(); ++i) {
    char b[4];
    std::snprintf(b, sizeof b, "%02x", static_cast<unsigned char>(bytes[i]));
    if (i > 0) out.push_back(',');
    out += b;
  }
  return out;
}

std::string format(const Store& store) {
  std::string out = "Windows Registry Editor Version 5.00\r\n";
  for (const auto& [l, key] : store.keys) {
    out += "\r\n[" + key.name + "]\r\n";
    for (const Value& v : key.values) {
      out += v.name.empty() ? std::string("@") : quote(v.name);
      out += "=";
      if (v.type == kRegSz && v.data.find_first_of(std::string("\r\n\0", 3)) == std::string::npos) {
        out += quote(v.data);
      } else if (v.type == kRegDword && v.data.size() == 4) {
        char b[16];
        const uint32_t d = static_cast<unsigned char>(v.data[0]) |
                           (static_cast<unsigned char>(v.data[1]) << 8) |
                           (static_cast<unsigned char>(v.data[2]) << 16) |
                           (static_cast<uint32_t>(static_cast<unsigned char>(v.data[3])) << 24);
        std::snprintf(b, sizeof b, "dword:%08x", d);
        out += b;
      } else if (isStringType(v.type)) {
        std::string bytes = utf8ToUtf16le(v.data);
        bytes.append(v.type == kRegMultiSz ? 4 : 2, '\0');
        out += hexList(v.type, bytes);
      } else {
        out += hexList(v.type, v.data);
      }
      out += "\r\n";
    }
  }
  return out;
}

std::string readWhole(const std::string& path) {
  std::string bytes;
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return bytes;
  char buf[8192];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
  std::fclose(f);
  return bytes;
}

Store load(const std::string& path) {
  return parse(readWhole(path));
}

// Runs a read-modify-write of the store under its lock. `change` returns
// whether it changed anything; false from it means "no, and fail".
template <typename Change>
bool update(const std::string& path, Change change) {
  const std::string lockPath = path + ".lock";
  const int lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (lock < 0) return false;
  bool ok = false;
  if (::flock(lock, LOCK_EX) == 0) {
    Store store = load(path);
    bool changed = false;
    if (store.clean && change(store, changed)) {
      ok = true;
      if (changed) {
        const std::string text = format(store);
        const std::string tmp = path + ".tmp";
        FILE* f = std::fopen(tmp.c_str(), "wb");
        ok = f != nullptr;
        if (ok) {
          ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
          ok = (std::fclose(f) == 0) && ok;
          ok = ok && std::rename(tmp.c_str(), path.c_str()) == 0;
          if (!ok) std::remove(tmp.c_str());
        }
      }
    }
  }
  ::close(lock);
  return ok;
}

}  // namespace

PosixRegistry::PosixRegistry(std::string storePath) : path_(std::move(storePath)) {}

RegQuery PosixRegistry::queryValue(RegRoot root, const std::string& subkey, const std::string& name,
                                   size_t bufferBytes) {
  RegQuery q;
  const std::string path = keyPath(root, subkey);
  if (path.empty()) return q;
  Store store = load(path_);
  Key* key = store.find(path);
  if (key == nullptr && path.find('\\') != std::string::npos) return q;  // roots always exist
  Value* v = key == nullptr ? nullptr : key->find(name);
  if (v == nullptr) {
    q.status = RegQuery::Status::kNoValue;
    return q;
  }
  q.type = v->type;
  std::string data = v->data;
  size_t needed = data.size();
  if (isStringType(v->type)) {
    // The size the ANSI call needs: the text in the code page and its NUL(s).
    const size_t terminators = v->type == kRegMultiSz ? 2 : 1;
    needed = utf8ToAnsi(data).size() + terminators;
    data.append(terminators, '\0');
  }
  if (needed > bufferBytes) {
    q.status = RegQuery::Status::kMoreData;
    return q;
  }
  q.status = RegQuery::Status::kOk;
  q.data = std::move(data);
  return q;
}

bool PosixRegistry::createKey(RegRoot root, const std::string& subkey) {
  const std::string path = keyPath(root, subkey);
  if (path.empty()) return false;
  if (path.find('\\') == std::string::npos) return true;
  return update(path_, [&](Store& store, bool& changed) {
    if (store.find(path) == nullptr) {
      store.add(path);
      changed = true;
    }
    return true;
  });
}

bool PosixRegistry::setDword(RegRoot root, const std::string& subkey, const std::string& name,
                             uint32_t value) {
  const std::string path = keyPath(root, subkey);
  if (path.empty() || path.find('\\') == std::string::npos) return false;
  return update(path_, [&](Store& store, bool& changed) {
    Key* key = store.find(path);
    if (key == nullptr) return false;
    Value v{name, kRegDword,
            std::string{static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF),
                        static_cast<char>((value >> 16) & 0xFF), static_cast<char>(value >> 24)}};
    if (Value* existing = key->find(name)) {
      v.name = existing->name;
      *existing = std::move(v);
    } else {
      key->values.push_back(std::move(v));
    }
    changed = true;
    return true;
  });
}

bool PosixRegistry::setString(RegRoot root, const std::string& subkey, const std::string& name,
                              const std::string& value) {
  const std::string path = keyPath(root, subkey);
  if (path.empty() || path.find('\\') == std::string::npos) return false;
  return update(path_, [&](Store& store, bool& changed) {
    Key& key = store.add(path);
    if (Value* existing = key.find(name)) {
      existing->type = kRegSz;
      existing->data = value;
    } else {
      key.values.push_back(Value{name, kRegSz, value});
    }
    changed = true;
    return true;
  });
}

std::optional<uint32_t> PosixRegistry::getDword(RegRoot root, const std::string& subkey,
                                                const std::string& name) {
  const RegQuery q = queryValue(root, subkey, name, 4);
  if (q.status != RegQuery::Status::kOk || q.type != kRegDword || q.data.size() != 4)
    return std::nullopt;
  return static_cast<uint32_t>(static_cast<unsigned char>(q.data[0])) |
         (static_cast<uint32_t>(static_cast<unsigned char>(q.data[1])) << 8) |
         (static_cast<uint32_t>(static_cast<unsigned char>(q.data[2])) << 16) |
         (static_cast<uint32_t>(static_cast<unsigned char>(q.data[3])) << 24);
}

std::unique_ptr<Registry> makeNativeRegistry() {
  throw PlatformError(kErrInvalidProcedureCall,
                      "No system registry on this platform: use a PosixRegistry store file");
}

}  // namespace plat
