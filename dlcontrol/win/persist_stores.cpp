#include "dlcontrol/win/persist_stores.h"

#include <vector>

#include "dlcontrol/win/com_ptr.h"
#include "dlcontrol/win/win_error.h"
#include "dlcontrol/win/win_font.h"
#include "dlcontrol/win/win_text.h"
#include "platform/error.h"

namespace lumvex {
namespace {

[[noreturn]] void fail(HRESULT hr, const std::string& what) {
  throw plat::PlatformError(static_cast<int>(hr), what + ": " + describeError(hr));
}

}  // namespace

// ---- BagStore

bool BagStore::read(const std::string& key, VARTYPE type, VARIANT& out) {
  std::wstring name = widen(key);
  V_VT(&out) = type;
  HRESULT hr = bag_.Read(name.c_str(), &out, log_);
  if (FAILED(hr)) {
    VariantInit(&out);
    // A bag answers E_INVALIDARG for a key it does not hold: the default
    // applies. Any other failure is the store's and goes to the container.
    if (hr == E_INVALIDARG) return false;
    fail(hr, "Cannot read " + key);
  }
  if (V_VT(&out) != type) {
    hr = VariantChangeType(&out, &out, 0, type);
    if (FAILED(hr)) fail(hr, "Cannot read " + key);
  }
  return true;
}

void BagStore::write(const std::string& key, VARIANT& value) {
  std::wstring name = widen(key);
  HRESULT hr = bag_.Write(name.c_str(), &value);
  if (FAILED(hr)) fail(hr, "Cannot store " + key);
}

int32_t BagStore::readInt32(const std::string& key, int32_t def) {
  Variant v;
  return read(key, VT_I4, *v.get()) ? V_I4(v.get()) : def;
}

int16_t BagStore::readInt16(const std::string& key, int16_t def) {
  Variant v;
  return read(key, VT_I2, *v.get()) ? V_I2(v.get()) : def;
}

bool BagStore::readBool(const std::string& key, bool def) {
  Variant v;
  return read(key, VT_BOOL, *v.get()) ? V_BOOL(v.get()) != VARIANT_FALSE : def;
}

std::string BagStore::readString(const std::string& key, const std::string& def) {
  Variant v;
  return read(key, VT_BSTR, *v.get()) ? fromBstr(V_BSTR(v.get())) : def;
}

dl::FontPtr BagStore::readFont(const std::string& key, const dl::FontPtr& def) {
  Variant v;
  if (!read(key, VT_DISPATCH, *v.get()) || !V_DISPATCH(v.get())) return def;
  ComPtr<IFontDisp> font;
  V_DISPATCH(v.get())->QueryInterface(IID_IFontDisp, font.putVoid());
  return font ? wrapFont(std::move(font)) : def;
}

void BagStore::writeInt32(const std::string& key, int32_t value, int32_t def) {
  if (value == def) return;
  Variant v;
  V_VT(v.get()) = VT_I4;
  V_I4(v.get()) = value;
  write(key, *v.get());
}

void BagStore::writeInt16(const std::string& key, int16_t value, int16_t def) {
  if (value == def) return;
  Variant v;
  V_VT(v.get()) = VT_I2;
  V_I2(v.get()) = value;
  write(key, *v.get());
}

void BagStore::writeBool(const std::string& key, bool value, bool def) {
  if (value == def) return;
  Variant v;
  V_VT(v.get()) = VT_BOOL;
  V_BOOL(v.get()) = value ? VARIANT_TRUE : VARIANT_FALSE;
  write(key, *v.get());
}

void BagStore::writeString(const std::string& key, const std::string& value,
                           const std::string& def) {
  if (value == def) return;
  Variant v;
  V_VT(v.get()) = VT_BSTR;
  V_BSTR(v.get()) = Bstr(value).detach();
  write(key, *v.get());
}

void BagStore::writeFont(const std::string& key, const dl::FontPtr& value, const dl::FontPtr& def) {
  ComPtr<IFontDisp> font = fontDispOf(value);
  if (!font || sameFont(value, def)) return;
  Variant v;
  V_VT(v.get()) = VT_DISPATCH;
  V_DISPATCH(v.get()) = font.detach();
  write(key, *v.get());
}

// ---- StreamStore

namespace {

constexpr uint32_t kMagic = 0x3158564C;  // "LVX1"

void readExact(IStream& s, void* data, ULONG size) {
  ULONG got = 0;
  HRESULT hr = s.Read(data, size, &got);
  if (FAILED(hr)) fail(hr, "Cannot read the stored settings");
  if (got != size)
    throw plat::PlatformError(static_cast<int>(STG_E_READFAULT),
                              "The stored settings are incomplete");
}

void writeExact(IStream& s, const void* data, ULONG size) {
  ULONG put = 0;
  HRESULT hr = s.Write(data, size, &put);
  if (FAILED(hr)) fail(hr, "Cannot write the settings");
  if (put != size)
    throw plat::PlatformError(static_cast<int>(STG_E_WRITEFAULT), "Cannot write the settings");
}

template <typename T>
T readValue(IStream& s) {
  T v{};
  readExact(s, &v, sizeof v);
  return v;
}

template <typename T>
void writeValue(IStream& s, T v) {
  writeExact(s, &v, sizeof v);
}

std::wstring readWide(IStream& s, uint32_t length) {
  if (length > (1u << 24))
    throw plat::PlatformError(static_cast<int>(STG_E_READFAULT), "The stored settings are damaged");
  std::wstring text(length, L'\0');
  if (length) readExact(s, text.data(), static_cast<ULONG>(length * sizeof(wchar_t)));
  return text;
}

}  // namespace

void StreamStore::load(IStream& s) {
  if (readValue<uint32_t>(s) != kMagic)
    throw plat::PlatformError(static_cast<int>(STG_E_READFAULT),
                              "The stored settings are not of this control");
  uint32_t count = readValue<uint32_t>(s);
  if (count > 1000)
    throw plat::PlatformError(static_cast<int>(STG_E_READFAULT), "The stored settings are damaged");
  for (uint32_t i = 0; i < count; ++i) {
    std::string key = narrow(readWide(s, readValue<uint16_t>(s)));
    Value v;
    v.type = static_cast<Type>(readValue<uint8_t>(s));
    switch (v.type) {
      case kInt32:
        v.number = readValue<int32_t>(s);
        break;
      case kInt16:
        v.number = readValue<int16_t>(s);
        break;
      case kBool:
        v.number = readValue<int16_t>(s) != 0;
        break;
      case kString:
        v.text = narrow(readWide(s, readValue<uint32_t>(s)));
        break;
      case kFont:
        if (readValue<uint8_t>(s)) {
          ComPtr<IFontDisp> font;
          HRESULT hr = OleLoadFromStream(&s, IID_IFontDisp, font.putVoid());
          if (FAILED(hr)) fail(hr, "Cannot read the stored font");
          v.font = wrapFont(std::move(font));
        }
        break;
      default:
        throw plat::PlatformError(static_cast<int>(STG_E_READFAULT),
                                  "The stored settings are damaged");
    }
    if (!values_.count(key)) order_.push_back(key);
    values_[key] = std::move(v);
  }
}

void StreamStore::save(IStream& s) const {
  writeValue<uint32_t>(s, kMagic);
  writeValue<uint32_t>(s, static_cast<uint32_t>(order_.size()));
  for (const std::string& key : order_) {
    const Value& v = values_.at(key);
    std::wstring name = widen(key);
    writeValue<uint16_t>(s, static_cast<uint16_t>(name.size()));
    writeExact(s, name.data(), static_cast<ULONG>(name.size() * sizeof(wchar_t)));
    writeValue<uint8_t>(s, v.type);
    switch (v.type) {
      case kInt32:
        writeValue<int32_t>(s, v.number);
        break;
      case kInt16:
        writeValue<int16_t>(s, static_cast<int16_t>(v.number));
        break;
      case kBool:
        writeValue<int16_t>(s, v.number ? VARIANT_TRUE : VARIANT_FALSE);
        break;
      case kString: {
        std::wstring text = widen(v.text);
        writeValue<uint32_t>(s, static_cast<uint32_t>(text.size()));
        if (!text.empty())
          writeExact(s, text.data(), static_cast<ULONG>(text.size() * sizeof(wchar_t)));
        break;
      }
      case kFont: {
        ComPtr<IFontDisp> font = fontDispOf(v.font);
        ComPtr<IPersistStream> persist = font.query<IPersistStream>(IID_IPersistStream);
        writeValue<uint8_t>(s, persist ? 1 : 0);
        if (persist) {
          HRESULT hr = OleSaveToStream(persist.get(), &s);
          if (FAILED(hr)) fail(hr, "Cannot write the font");
        }
        break;
      }
    }
  }
}

uint64_t StreamStore::sizeMax() const {
  ComPtr<IStream> probe;
  HRESULT hr = CreateStreamOnHGlobal(nullptr, TRUE, probe.put());
  if (FAILED(hr)) fail(hr, "Cannot measure the settings");
  save(*probe.get());
  STATSTG stat = {};
  hr = probe->Stat(&stat, STATFLAG_NONAME);
  if (FAILED(hr)) fail(hr, "Cannot measure the settings");
  return stat.cbSize.QuadPart;
}

const StreamStore::Value* StreamStore::find(const std::string& key, Type type) const {
  auto it = values_.find(key);
  return it != values_.end() && it->second.type == type ? &it->second : nullptr;
}

int32_t StreamStore::readInt32(const std::string& key, int32_t def) {
  const Value* v = find(key, kInt32);
  return v ? v->number : def;
}

int16_t StreamStore::readInt16(const std::string& key, int16_t def) {
  const Value* v = find(key, kInt16);
  return v ? static_cast<int16_t>(v->number) : def;
}

bool StreamStore::readBool(const std::string& key, bool def) {
  const Value* v = find(key, kBool);
  return v ? v->number != 0 : def;
}

std::string StreamStore::readString(const std::string& key, const std::string& def) {
  const Value* v = find(key, kString);
  return v ? v->text : def;
}

dl::FontPtr StreamStore::readFont(const std::string& key, const dl::FontPtr& def) {
  const Value* v = find(key, kFont);
  return v && v->font ? v->font : def;
}

namespace {
template <typename M>
void put(M& values, std::vector<std::string>& order, const std::string& key,
         typename M::mapped_type v) {
  if (!values.count(key)) order.push_back(key);
  values[key] = std::move(v);
}
}  // namespace

void StreamStore::writeInt32(const std::string& key, int32_t value, int32_t) {
  Value v;
  v.type = kInt32;
  v.number = value;
  put(values_, order_, key, std::move(v));
}

void StreamStore::writeInt16(const std::string& key, int16_t value, int16_t) {
  Value v;
  v.type = kInt16;
  v.number = value;
  put(values_, order_, key, std::move(v));
}

void StreamStore::writeBool(const std::string& key, bool value, bool) {
  Value v;
  v.type = kBool;
  v.number = value ? 1 : 0;
  put(values_, order_, key, std::move(v));
}

void StreamStore::writeString(const std::string& key, const std::string& value,
                              const std::string&) {
  Value v;
  v.type = kString;
  v.text = value;
  put(values_, order_, key, std::move(v));
}

void StreamStore::writeFont(const std::string& key, const dl::FontPtr& value, const dl::FontPtr&) {
  Value v;
  v.type = kFont;
  v.font = value;
  put(values_, order_, key, std::move(v));
}

}  // namespace lumvex
