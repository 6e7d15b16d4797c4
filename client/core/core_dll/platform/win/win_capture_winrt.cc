#include "platform/win/win_capture_winrt.h"

#include <cwchar>

namespace ostrel::win {
namespace {

using RoGetActivationFactoryFn = HRESULT(WINAPI*)(HSTRING, REFIID, void**);
using WindowsCreateStringReferenceFn = HRESULT(WINAPI*)(PCWSTR, UINT32, HSTRING_HEADER*, HSTRING*);
using CoIncrementMtaUsageFn = HRESULT(WINAPI*)(void**);

template <typename Function>
Function Resolve(HMODULE module, const char* name) {
  if (module == nullptr) return nullptr;
  // GetProcAddress hands out a generic function pointer.
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

// combase.dll's Windows Runtime entry points, resolved once. The module stays
// loaded for the life of the process: activated objects may live until its
// end, and unloading a system DLL at process exit gains nothing.
struct Runtime {
  Runtime() {
    HMODULE combase = LoadLibraryExW(L"combase.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    getActivationFactory = Resolve<RoGetActivationFactoryFn>(combase, "RoGetActivationFactory");
    createStringReference = Resolve<WindowsCreateStringReferenceFn>(combase, "WindowsCreateStringReference");
    // Threads that joined no apartment (the host's may not have; the restart
    // after a device loss runs on a thread of this library) use the
    // process's multithreaded apartment, which this keeps alive.
    if (auto increment = Resolve<CoIncrementMtaUsageFn>(combase, "CoIncrementMTAUsage")) {
      void* cookie = nullptr;
      increment(&cookie);
    }
  }

  RoGetActivationFactoryFn getActivationFactory = nullptr;
  WindowsCreateStringReferenceFn createStringReference = nullptr;
};

const Runtime& GetRuntime() {
  static const Runtime runtime;
  return runtime;
}

}  // namespace

HStringReference::HStringReference(const wchar_t* text) {
  const Runtime& runtime = GetRuntime();
  if (runtime.createStringReference == nullptr) {
    status_ = kClassNotRegistered;
    return;
  }
  status_ = runtime.createStringReference(text, static_cast<UINT32>(std::wcslen(text)), &header_, &string_);
}

HRESULT GetActivationFactory(const wchar_t* className, REFIID iid, void** factory) {
  if (factory == nullptr) return E_POINTER;
  *factory = nullptr;
  const Runtime& runtime = GetRuntime();
  if (runtime.getActivationFactory == nullptr) return kClassNotRegistered;
  HStringReference name(className);
  if (FAILED(name.status())) return name.status();
  return runtime.getActivationFactory(name.get(), iid, factory);
}

}  // namespace ostrel::win
