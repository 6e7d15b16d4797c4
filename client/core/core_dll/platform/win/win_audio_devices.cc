// Core Audio endpoints: the device enumerator, endpoints and collections,
// endpoint-change registration, and the multimedia class scheduler.
//
// Link: ole32 (CoCreateInstance, CoTaskMemFree, PropVariantClear), avrt.
#include <windows.h>
#include <avrt.h>

#include <mutex>
#include <utility>
#include <vector>

#include "platform/win/win_audio.h"
#include "platform/win/win_backend.h"

namespace ostrel::win {
namespace {

using platform::DataFlow;
using platform::IAudioEndpoint;

// PKEY_Device_FriendlyName ({A45C254E-DF1C-4EFD-8020-67D146A850E0}, 14);
// the headers only declare it, and no import library defines it.
constexpr PROPERTYKEY kFriendlyNameKey{{0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}},
                                       14};

class WinAudioEndpoint final : public IAudioEndpoint {
 public:
  explicit WinAudioEndpoint(ComPtr<IMMDevice> device) : device_(std::move(device)) {}

  Hresult GetId(std::wstring* id) override {
    if (id == nullptr) return hr::kInvalidArg;
    LPWSTR raw = nullptr;
    const HRESULT result = device_->GetId(&raw);
    CoTaskMemPtr<wchar_t> owned(raw);
    if (FAILED(result)) return static_cast<Hresult>(result);
    if (!owned) return hr::kFail;
    *id = owned.get();
    return static_cast<Hresult>(result);
  }

  Hresult GetFriendlyName(std::wstring* name) override {
    if (name == nullptr) return hr::kInvalidArg;
    ComPtr<IPropertyStore> store;
    HRESULT result = device_->OpenPropertyStore(STGM_READ, store.GetAddressOf());
    if (FAILED(result)) return static_cast<Hresult>(result);
    if (!store) return hr::kFail;
    ScopedPropVariant value;
    result = store->GetValue(kFriendlyNameKey, value.get());
    if (FAILED(result)) return static_cast<Hresult>(result);
    if ((*value).vt != VT_LPWSTR || (*value).pwszVal == nullptr) return hr::kFail;
    *name = (*value).pwszVal;
    return hr::kOk;
  }

  Hresult Activate(std::shared_ptr<platform::IAudioClient>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    ComPtr<::IAudioClient> client;
    const HRESULT result = device_->Activate(__uuidof(::IAudioClient), CLSCTX_ALL, nullptr,
                                             reinterpret_cast<void**>(client.GetAddressOf()));
    if (FAILED(result)) return static_cast<Hresult>(result);
    if (!client) return hr::kFail;
    *out = MakeAudioClient(std::move(client));
    return static_cast<Hresult>(result);
  }

 private:
  ComPtr<IMMDevice> device_;
};

// Hands out an endpoint for a device the system returned, or E_FAIL when a
// successful call returned none.
Hresult WrapDevice(HRESULT result, ComPtr<IMMDevice> device, std::shared_ptr<IAudioEndpoint>* out) {
  if (FAILED(result)) return static_cast<Hresult>(result);
  if (!device) return hr::kFail;
  *out = std::make_shared<WinAudioEndpoint>(std::move(device));
  return static_cast<Hresult>(result);
}

class WinEndpointCollection final : public platform::IAudioEndpointCollection {
 public:
  explicit WinEndpointCollection(ComPtr<IMMDeviceCollection> collection) : collection_(std::move(collection)) {}

  Hresult GetCount(uint32_t* count) override {
    if (count == nullptr) return hr::kInvalidArg;
    UINT value = 0;
    const HRESULT result = collection_->GetCount(&value);
    *count = value;
    return static_cast<Hresult>(result);
  }

  Hresult Item(uint32_t index, std::shared_ptr<IAudioEndpoint>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    ComPtr<IMMDevice> device;
    const HRESULT result = collection_->Item(index, device.GetAddressOf());
    return WrapDevice(result, std::move(device), out);
  }

 private:
  ComPtr<IMMDeviceCollection> collection_;
};

class WinDeviceEnumerator final : public platform::IAudioDeviceEnumerator {
 public:
  explicit WinDeviceEnumerator(ComPtr<IMMDeviceEnumerator> enumerator) : enumerator_(std::move(enumerator)) {}

  // Whatever is still registered is unregistered before the listeners'
  // references go.
  ~WinDeviceEnumerator() override {
    for (Registration& registration : TakeAllRegistrations()) {
      enumerator_->UnregisterEndpointNotificationCallback(registration.forwarder.Get());
    }
  }

  Hresult GetDefaultAudioEndpoint(DataFlow flow, platform::Role role, std::shared_ptr<IAudioEndpoint>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    ComPtr<IMMDevice> device;
    const HRESULT result = enumerator_->GetDefaultAudioEndpoint(static_cast<EDataFlow>(flow), static_cast<ERole>(role),
                                                                device.GetAddressOf());
    return WrapDevice(result, std::move(device), out);
  }

  Hresult GetDevice(const std::wstring& id, std::shared_ptr<IAudioEndpoint>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    ComPtr<IMMDevice> device;
    const HRESULT result = enumerator_->GetDevice(id.c_str(), device.GetAddressOf());
    return WrapDevice(result, std::move(device), out);
  }

  Hresult EnumAudioEndpoints(DataFlow flow, uint32_t stateMask,
                             std::shared_ptr<platform::IAudioEndpointCollection>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    ComPtr<IMMDeviceCollection> collection;
    const HRESULT result =
        enumerator_->EnumAudioEndpoints(static_cast<EDataFlow>(flow), stateMask, collection.GetAddressOf());
    if (FAILED(result)) return static_cast<Hresult>(result);
    if (!collection) return hr::kFail;
    *out = std::make_shared<WinEndpointCollection>(std::move(collection));
    return static_cast<Hresult>(result);
  }

  // The system is handed a COM object that forwards to `client` and holds a
  // reference to it; this enumerator keeps that object until unregistration.
  Hresult RegisterEndpointNotificationCallback(platform::IEndpointNotificationClient* client) override {
    if (client == nullptr) return hr::kInvalidArg;
    {
      std::lock_guard lock(mutex_);
      for (const Registration& registration : registrations_) {
        if (registration.client == client) return hr::kInvalidArg;
      }
    }
    ComPtr<IMMNotificationClient> forwarder = MakeNotificationForwarder(client);
    const HRESULT result = enumerator_->RegisterEndpointNotificationCallback(forwarder.Get());
    if (FAILED(result)) return static_cast<Hresult>(result);
    std::lock_guard lock(mutex_);
    registrations_.push_back({client, std::move(forwarder)});
    return static_cast<Hresult>(result);
  }

  // The system's unregistration returns only once no notification is being
  // delivered, so the forwarder and the listener's reference can go after it.
  Hresult UnregisterEndpointNotificationCallback(platform::IEndpointNotificationClient* client) override {
    ComPtr<IMMNotificationClient> forwarder;
    {
      std::lock_guard lock(mutex_);
      for (const Registration& registration : registrations_) {
        if (registration.client == client) forwarder = registration.forwarder;
      }
    }
    if (!forwarder) return hr::kNotFound;
    const HRESULT result = enumerator_->UnregisterEndpointNotificationCallback(forwarder.Get());
    // Still registered with the system: keep it alive (the destructor tries
    // again).
    if (FAILED(result)) return static_cast<Hresult>(result);
    {
      std::lock_guard lock(mutex_);
      std::erase_if(registrations_, [client](const Registration& r) { return r.client == client; });
    }
    return static_cast<Hresult>(result);  // `forwarder` goes here, with the listener's reference
  }

 private:
  struct Registration {
    platform::IEndpointNotificationClient* client;
    ComPtr<IMMNotificationClient> forwarder;
  };

  std::vector<Registration> TakeAllRegistrations() {
    std::lock_guard lock(mutex_);
    return std::exchange(registrations_, {});
  }

  ComPtr<IMMDeviceEnumerator> enumerator_;
  std::mutex mutex_;  // guards registrations_
  std::vector<Registration> registrations_;
};

class WinAudioSystem final : public platform::IAudioSystem {
 public:
  // Relies on the process's multithreaded apartment (joined at library
  // initialisation); a thread outside any apartment gets CO_E_NOTINITIALIZED.
  Hresult CreateDeviceEnumerator(std::shared_ptr<platform::IAudioDeviceEnumerator>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    ComPtr<IMMDeviceEnumerator> enumerator;
    const HRESULT result =
        CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, IID_PPV_ARGS(enumerator.GetAddressOf()));
    if (FAILED(result)) return static_cast<Hresult>(result);
    if (!enumerator) return hr::kFail;
    *out = std::make_shared<WinDeviceEnumerator>(std::move(enumerator));
    return static_cast<Hresult>(result);
  }

  void* EnterProAudioScheduling() override {
    DWORD taskIndex = 0;
    return AvSetMmThreadCharacteristicsW(L"Pro Audio", &taskIndex);
  }

  bool SetCriticalPriority(void* handle) override {
    return handle != nullptr && AvSetMmThreadPriority(handle, AVRT_PRIORITY_CRITICAL) != 0;
  }

  void LeaveProAudioScheduling(void* handle) override {
    if (handle != nullptr) AvRevertMmThreadCharacteristics(handle);
  }
};

}  // namespace

platform::IAudioSystem& AudioSystem() {
  static WinAudioSystem audio;
  return audio;
}

}  // namespace ostrel::win
