#pragma once
// UTF-8 (inside the control) to UTF-16 (at the COM and Win32 boundary) and
// back, plus an owning BSTR. Strings always cross the boundary as copies.
#include <windows.h>
#include <oleauto.h>

#include <string>
#include <utility>

namespace lumvex {

inline std::wstring widen(const std::string& text) {
  if (text.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

inline std::string narrow(const wchar_t* text, size_t length) {
  if (!text || length == 0) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), out.data(), n, nullptr, nullptr);
  return out;
}

inline std::string narrow(const std::wstring& text) { return narrow(text.data(), text.size()); }

inline std::string narrowZ(const wchar_t* text) { return text ? narrow(text, wcslen(text)) : std::string(); }

// A BSTR may be NULL for the empty string; SysStringLen handles both.
inline std::string fromBstr(BSTR text) { return narrow(text, SysStringLen(text)); }

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
