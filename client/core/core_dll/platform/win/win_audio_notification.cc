// The COM face of the core's endpoint-change listener: the audio service
// calls IMMNotificationClient on its own threads, and each call is passed on
// unchanged.
#include "platform/win/win_audio.h"

namespace ostrel::win {
namespace {

using platform::InterfaceId;

InterfaceId InterfaceIdOf(REFIID riid) {
  if (riid == __uuidof(IUnknown)) return InterfaceId::Unknown;
  if (riid == __uuidof(IMMNotificationClient)) return InterfaceId::EndpointNotificationClient;
  return InterfaceId::Other;
}

// A COM object is destroyed by its own Release, never through a pointer to
// the interface, which has no virtual destructor by design.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
class NotificationForwarder final : public IMMNotificationClient {
 public:
  explicit NotificationForwarder(platform::IEndpointNotificationClient* client) : client_(client) { client_->AddRef(); }

  // The listener decides which interfaces it has; the object handed out is
  // this COM face, never the listener itself.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    void* answer = nullptr;
    const Hresult result = client_->QueryInterface(InterfaceIdOf(riid), &answer);
    if (answer != nullptr) client_->Release();
    if (Failed(result) || answer == nullptr) return Failed(result) ? static_cast<HRESULT>(result) : E_NOINTERFACE;
    *object = static_cast<IMMNotificationClient*>(this);
    AddRef();
    return S_OK;
  }

  ULONG STDMETHODCALLTYPE AddRef() override { return refCount_.fetch_add(1) + 1; }

  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG count = refCount_.fetch_sub(1) - 1;
    if (count == 0) delete this;
    return count;
  }

  HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR deviceId, DWORD newState) override {
    return static_cast<HRESULT>(client_->OnDeviceStateChanged(deviceId, newState));
  }

  HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR deviceId) override {
    return static_cast<HRESULT>(client_->OnDeviceAdded(deviceId));
  }

  HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR deviceId) override {
    return static_cast<HRESULT>(client_->OnDeviceRemoved(deviceId));
  }

  // EDataFlow and ERole carry the same numbers as the core's enums.
  HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role, LPCWSTR defaultDeviceId) override {
    return static_cast<HRESULT>(client_->OnDefaultDeviceChanged(static_cast<platform::DataFlow>(flow),
                                                                static_cast<platform::Role>(role), defaultDeviceId));
  }

  HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR deviceId, const PROPERTYKEY key) override {
    return static_cast<HRESULT>(client_->OnPropertyValueChanged(deviceId, key.pid));
  }

 private:
  ~NotificationForwarder() { client_->Release(); }  // destroyed through Release

  std::atomic<ULONG> refCount_{1};
  platform::IEndpointNotificationClient* const client_;
};
#pragma GCC diagnostic pop

static_assert(static_cast<int>(eRender) == static_cast<int>(platform::DataFlow::Render) &&
              static_cast<int>(eCapture) == static_cast<int>(platform::DataFlow::Capture));
static_assert(static_cast<int>(eConsole) == static_cast<int>(platform::Role::Console) &&
              static_cast<int>(eMultimedia) == static_cast<int>(platform::Role::Multimedia) &&
              static_cast<int>(eCommunications) == static_cast<int>(platform::Role::Communications));

}  // namespace

ComPtr<IMMNotificationClient> MakeNotificationForwarder(platform::IEndpointNotificationClient* client) {
  if (client == nullptr) return nullptr;
  return Adopt<IMMNotificationClient>(new NotificationForwarder(client));
}

}  // namespace ostrel::win
