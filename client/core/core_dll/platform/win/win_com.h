// COM ownership for the Windows backend: reference-counted interface
// pointers (WRL's ComPtr), task-allocator memory, property values and
// kernel handles, each released by scope.
//
// Link: ole32 (CoTaskMemFree, PropVariantClear).
#pragma once

#include <windows.h>
#include <objbase.h>
#include <propidl.h>
#include <wrl/client.h>

#include <memory>

namespace ostrel::win {

using Microsoft::WRL::ComPtr;

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
