#pragma once
// Owning COM pointer: one reference, released on destruction. Move-only, so
// every reference the control holds has exactly one owner.
#include <objbase.h>

#include <utility>

namespace lumvex {

template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(std::nullptr_t) {}
  // Takes over a reference the caller already owns.
  static ComPtr attach(T* raw) {
    ComPtr p;
    p.ptr_ = raw;
    return p;
  }
  // Adds a reference of its own.
  static ComPtr share(T* raw) {
    if (raw) raw->AddRef();
    return attach(raw);
  }
  ComPtr(ComPtr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) {
      reset();
      ptr_ = std::exchange(other.ptr_, nullptr);
    }
    return *this;
  }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  ~ComPtr() { reset(); }

  void reset() {
    if (T* p = std::exchange(ptr_, nullptr)) p->Release();
  }
  T* get() const { return ptr_; }
  T* operator->() const { return ptr_; }
  explicit operator bool() const { return ptr_ != nullptr; }
  // For out-parameters: releases what is held and hands out the slot.
  T** put() {
    reset();
    return &ptr_;
  }
  void** putVoid() { return reinterpret_cast<void**>(put()); }
  // Gives the held reference to the caller (for [out] parameters).
  T* detach() { return std::exchange(ptr_, nullptr); }
  // A second owning pointer to the same object.
  ComPtr copy() const { return share(ptr_); }

  template <typename U>
  ComPtr<U> query(REFIID iid) const {
    ComPtr<U> out;
    if (ptr_) ptr_->QueryInterface(iid, out.putVoid());
    return out;
  }

 private:
  T* ptr_ = nullptr;
};

}  // namespace lumvex
