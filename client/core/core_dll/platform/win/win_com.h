// COM ownership for the Windows backend: reference-counted interface
// pointers, task-allocator memory, property values and kernel handles, each
// released by scope.
//
// ComPtr follows WRL's interface (Get, GetAddressOf, ReleaseAndGetAddressOf,
// As, Attach, Detach, Reset), without WRL's operator& trick: &p is the
// ComPtr's address, for As(&p). It is our own because mingw-w64 10's
// wrl/client.h adds a reference in Attach, leaking every object adopted that
// way.
//
// Link: ole32 (CoTaskMemFree, PropVariantClear).
#pragma once

#include <windows.h>
#include <objbase.h>
#include <propidl.h>

#include <cstddef>
#include <memory>
#include <type_traits>
#include <utility>

namespace ostrel::win {

template <typename T>
class ComPtr {
 public:
  using InterfaceType = T;

  ComPtr() noexcept = default;
  ComPtr(std::nullptr_t) noexcept {}  // implicit, like a raw pointer
  // Shares `pointer`: adds a reference (use Attach to take one over).
  template <typename U, typename = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  ComPtr(U* pointer) noexcept : ptr_(pointer) {  // implicit, like a raw pointer
    AddRefIfSet();
  }
  ComPtr(const ComPtr& other) noexcept : ptr_(other.ptr_) { AddRefIfSet(); }
  template <typename U, typename = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  ComPtr(const ComPtr<U>& other) noexcept : ptr_(other.Get()) {  // implicit upcast
    AddRefIfSet();
  }
  ComPtr(ComPtr&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  template <typename U, typename = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  ComPtr(ComPtr<U>&& other) noexcept : ptr_(other.Detach()) {}  // implicit upcast
  ~ComPtr() { Reset(); }

  ComPtr& operator=(ComPtr other) noexcept {
    Swap(other);
    return *this;
  }
  ComPtr& operator=(std::nullptr_t) noexcept {
    Reset();
    return *this;
  }

  T* Get() const noexcept { return ptr_; }
  T* operator->() const noexcept { return ptr_; }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }

  // For out-parameters: the address of the held pointer, as it is.
  T** GetAddressOf() noexcept { return &ptr_; }
  T* const* GetAddressOf() const noexcept { return &ptr_; }
  // For out-parameters: releases what is held first.
  T** ReleaseAndGetAddressOf() noexcept {
    Reset();
    return &ptr_;
  }

  // Takes over a reference the caller owns, without adding one.
  void Attach(T* owned) noexcept {
    Reset();
    ptr_ = owned;
  }
  // Hands the reference to the caller.
  T* Detach() noexcept { return std::exchange(ptr_, nullptr); }
  // Drops the reference; returns the object's remaining count (0 when empty).
  unsigned long Reset() noexcept {
    T* old = std::exchange(ptr_, nullptr);
    return old != nullptr ? old->Release() : 0;
  }
  void Swap(ComPtr& other) noexcept { std::swap(ptr_, other.ptr_); }

  // QueryInterface for U into `out` (released first).
  template <typename U>
  HRESULT As(ComPtr<U>* out) const noexcept {
    if (ptr_ == nullptr) return E_POINTER;
    return ptr_->QueryInterface(__uuidof(U), reinterpret_cast<void**>(out->ReleaseAndGetAddressOf()));
  }

 private:
  void AddRefIfSet() noexcept {
    if (ptr_ != nullptr) ptr_->AddRef();
  }

  T* ptr_ = nullptr;
};

template <typename T, typename U>
bool operator==(const ComPtr<T>& a, const ComPtr<U>& b) noexcept {
  return a.Get() == b.Get();
}
template <typename T>
bool operator==(const ComPtr<T>& a, std::nullptr_t) noexcept {
  return a.Get() == nullptr;
}

// Takes over a reference the caller already owns.
template <typename T>
ComPtr<T> Adopt(T* owned) {
  ComPtr<T> pointer;
  pointer.Attach(owned);
  return pointer;
}

// Memory the callee allocated with CoTaskMemAlloc (ids, wave formats, arrays).
struct CoTaskMemFreeDeleter {
  void operator()(void* memory) const { CoTaskMemFree(memory); }
};
template <typename T>
using CoTaskMemPtr = std::unique_ptr<T, CoTaskMemFreeDeleter>;

// A PROPVARIANT that is cleared whatever its type.
class ScopedPropVariant {
 public:
  ScopedPropVariant() { PropVariantInit(&value_); }
  ~ScopedPropVariant() { PropVariantClear(&value_); }
  ScopedPropVariant(const ScopedPropVariant&) = delete;
  ScopedPropVariant& operator=(const ScopedPropVariant&) = delete;
  PROPVARIANT* get() { return &value_; }
  const PROPVARIANT& operator*() const { return value_; }

 private:
  PROPVARIANT value_;
};

// A kernel handle closed with CloseHandle; null and INVALID_HANDLE_VALUE
// both mean "none".
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle = nullptr) : handle_(handle) {}
  ~ScopedHandle() {
    if (valid()) CloseHandle(handle_);
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

}  // namespace ostrel::win
