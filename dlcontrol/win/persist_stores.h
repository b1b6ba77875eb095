#pragma once
// The engine's property store over the two ways a container keeps a
// control's settings: a property bag (named values the container stores as
// it likes) and a stream (a block of bytes in our own format).
#include <ocidl.h>
#include <ole2.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "dlcontrol/engine.h"

namespace lumvex {

// Reads and writes the container's bag directly. A missing key, or a value
// that does not convert to the asked type, reads as the default; a value
// equal to its default is left out. A failing write throws.
class BagStore final : public dl::PropertyStore {
 public:
  BagStore(IPropertyBag& bag, IErrorLog* log) : bag_(bag), log_(log) {}
  int32_t readInt32(const std::string& key, int32_t def) override;
  int16_t readInt16(const std::string& key, int16_t def) override;
  bool readBool(const std::string& key, bool def) override;
  std::string readString(const std::string& key, const std::string& def) override;
  dl::FontPtr readFont(const std::string& key, const dl::FontPtr& def) override;
  void writeInt32(const std::string& key, int32_t value, int32_t def) override;
  void writeInt16(const std::string& key, int16_t value, int16_t def) override;
  void writeBool(const std::string& key, bool value, bool def) override;
  void writeString(const std::string& key, const std::string& value,
                   const std::string& def) override;
  void writeFont(const std::string& key, const dl::FontPtr& value, const dl::FontPtr& def) override;

 private:
  bool read(const std::string& key, VARTYPE type, VARIANT& out);
  void write(const std::string& key, VARIANT& value);
  IPropertyBag& bag_;
  IErrorLog* log_;
};

// Keyed values kept in memory and moved to or from a stream as a whole.
// Format (little endian): "LVX1", a 32-bit count, then per value the key
// (16-bit length, UTF-16), a type byte and the value: 32-bit integer,
// 16-bit integer, 16-bit boolean, string (32-bit length, UTF-16), or font
// (a flag byte, then the font object saved with its class id).
class StreamStore final : public dl::PropertyStore {
 public:
  void load(IStream& stream);  // throws plat::PlatformError on a bad or short stream
  void save(IStream& stream) const;
  uint64_t sizeMax() const;

  int32_t readInt32(const std::string& key, int32_t def) override;
  int16_t readInt16(const std::string& key, int16_t def) override;
  bool readBool(const std::string& key, bool def) override;
  std::string readString(const std::string& key, const std::string& def) override;
  dl::FontPtr readFont(const std::string& key, const dl::FontPtr& def) override;
  void writeInt32(const std::string& key, int32_t value, int32_t) override;
  void writeInt16(const std::string& key, int16_t value, int16_t) override;
  void writeBool(const std::string& key, bool value, bool) override;
  void writeString(const std::string& key, const std::string& value, const std::string&) override;
  void writeFont(const std::string& key, const dl::FontPtr& value, const dl::FontPtr&) override;

 private:
  enum Type : uint8_t { kInt32 = 1, kInt16 = 2, kBool = 3, kString = 4, kFont = 5 };
  struct Value {
    Type type = kInt32;
    int32_t number = 0;
    std::string text;
    dl::FontPtr font;
  };
  const Value* find(const std::string& key, Type type) const;
  std::map<std::string, Value> values_;
  std::vector<std::string> order_;
};

}  // namespace lumvex
