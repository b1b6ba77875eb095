#pragma once
// Strings at the COM boundary: the platform's UTF-8/UTF-16 conversion, an
// owning BSTR and an owning VARIANT. Strings always cross as copies.
#include <windows.h>
#include <oleauto.h>

#include <string>
#include <utility>

#include "platform/win/wide.h"

namespace lumvex {

using plat::win::narrow;
using plat::win::narrowZ;
using plat::win::widen;

// A BSTR may be NULL for the empty string; SysStringLen handles both.
inline std::string fromBstr(BSTR text) {
  return narrow(text, SysStringLen(text));
}

class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(const std::wstring& text)
      : str_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  explicit Bstr(const std::string& utf8) : Bstr(widen(utf8)) {}
  Bstr(Bstr&& other) noexcept : str_(std::exchange(other.str_, nullptr)) {}
  Bstr& operator=(Bstr&& other) noexcept {
    if (this != &other) {
      SysFreeString(str_);
      str_ = std::exchange(other.str_, nullptr);
    }
    return *this;
  }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  ~Bstr() { SysFreeString(str_); }
  BSTR get() const { return str_; }
  BSTR detach() { return std::exchange(str_, nullptr); }
  BSTR* put() {
    SysFreeString(str_);
    str_ = nullptr;
    return &str_;
  }

 private:
  BSTR str_ = nullptr;
};

// Owning VARIANT.
class Variant {
 public:
  Variant() { VariantInit(&v_); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  ~Variant() { VariantClear(&v_); }
  VARIANT* get() { return &v_; }
  const VARIANT& operator*() const { return v_; }
  VARIANT* operator->() { return &v_; }

 private:
  VARIANT v_;
};

}  // namespace lumvex
