// The Windows Runtime plumbing of the capture backend: activation factories
// and string references through combase.dll resolved at run time, and the
// event delegates as small COM objects.
//
// combase is loaded at run time rather than linked so that the DLL still
// loads where the Windows Runtime is missing (Windows 7); there activation
// answers REGDB_E_CLASSNOTREG like any other system without the class.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <new>
#include <utility>

#include "platform/win/wgc_abi.h"
#include "platform/win/win_com.h"

namespace ostrel::win {

constexpr HRESULT kClassNotRegistered = static_cast<HRESULT>(0x80040154);  // REGDB_E_CLASSNOTREG

// RoGetActivationFactory for a runtime class name. REGDB_E_CLASSNOTREG when
// the Windows Runtime itself is not there. Any thread: the process keeps a
// multithreaded apartment alive for threads that joined none.
HRESULT GetActivationFactory(const wchar_t* className, REFIID iid, void** factory);

template <typename Interface>
HRESULT GetActivationFactory(const wchar_t* className, ComPtr<Interface>& factory) {
  return GetActivationFactory(className, __uuidof(Interface), reinterpret_cast<void**>(factory.ReleaseAndGetAddressOf()));
}

// A string reference over a literal that outlives it (no copy, no release).
class HStringReference {
 public:
  explicit HStringReference(const wchar_t* text);
  HStringReference(const HStringReference&) = delete;
  HStringReference& operator=(const HStringReference&) = delete;
  HSTRING get() const { return string_; }
  HRESULT status() const { return status_; }

 private:
  HSTRING_HEADER header_{};
  HSTRING string_ = nullptr;
  HRESULT status_ = E_FAIL;
};

// A TypedEventHandler delegate calling `handler` (which must not throw out:
// errors are swallowed, the event source has nobody to report them to). The
// delegate is agile and free-threaded, as the free-threaded frame pool
// calls it on its own pool threads.
template <typename Interface, typename Sender>
class EventDelegate final : public Interface {
 public:
  static ComPtr<Interface> Create(std::function<void()> handler) {
    auto* created = new (std::nothrow) EventDelegate(std::move(handler));
    ComPtr<Interface> result;
    if (created == nullptr) return result;
    result.Attach(created);
    // Without the marshaler the delegate is still agile; only IMarshal is
    // then refused.
    CoCreateFreeThreadedMarshaler(static_cast<Interface*>(created), created->marshaler_.GetAddressOf());
    return result;
  }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (IsEqualIID(iid, __uuidof(IUnknown)) || IsEqualIID(iid, __uuidof(Interface)) ||
        IsEqualIID(iid, __uuidof(IAgileObject))) {
      *object = static_cast<Interface*>(this);
      AddRef();
      return S_OK;
    }
    if (IsEqualIID(iid, __uuidof(IMarshal)) && marshaler_) return marshaler_->QueryInterface(iid, object);
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  HRESULT STDMETHODCALLTYPE Invoke(Sender*, IInspectable*) override {
    try {
      handler_();
    } catch (...) {
    }
    return S_OK;
  }

 private:
  explicit EventDelegate(std::function<void()> handler) : handler_(std::move(handler)) {}
  ~EventDelegate() = default;

  std::atomic<ULONG> references_{1};
  std::function<void()> handler_;
  ComPtr<IUnknown> marshaler_;  // the aggregated free-threaded marshaler
};

using ItemClosedDelegate = EventDelegate<wgc::ItemClosedHandler, wgc::IGraphicsCaptureItem>;
using FrameArrivedDelegate = EventDelegate<wgc::FrameArrivedHandler, wgc::IDirect3D11CaptureFramePool>;

}  // namespace ostrel::win
