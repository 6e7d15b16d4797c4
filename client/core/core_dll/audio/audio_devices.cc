#include "audio/audio_devices.h"

#include "audio/audio_capture.h"
#include "platform/platform.h"

namespace ostrel {

using platform::DataFlow;

std::wstring FriendlyName(platform::IAudioEndpoint& endpoint) {
  std::wstring name;
  if (Failed(endpoint.GetFriendlyName(&name))) return L"(unknown device)";
  return name;
}

void EnumerateAudioDevices(bool captureDevices, const AudioDeviceVisitor& visitor) {
  if (!visitor) return;
  const DataFlow flow = captureDevices ? DataFlow::Capture : DataFlow::Render;
  std::shared_ptr<platform::IAudioDeviceEnumerator> enumerator;
  if (Failed(platform::GetPlatform().audio.CreateDeviceEnumerator(&enumerator)) || !enumerator) return;

  // Without a default every entry is simply not the default.
  std::wstring defaultId;
  std::shared_ptr<platform::IAudioEndpoint> defaultEndpoint;
  if (Succeeded(enumerator->GetDefaultAudioEndpoint(flow, platform::Role::Console, &defaultEndpoint)) &&
      defaultEndpoint) {
    std::wstring id;
    if (Succeeded(defaultEndpoint->GetId(&id))) defaultId = std::move(id);
  }

  std::shared_ptr<platform::IAudioEndpointCollection> collection;
  if (Failed(enumerator->EnumAudioEndpoints(flow, platform::kDeviceStateActive, &collection)) || !collection) {
    return;
  }
  uint32_t count = 0;
  collection->GetCount(&count);
  for (uint32_t index = 0; index < count; ++index) {
    std::shared_ptr<platform::IAudioEndpoint> endpoint;
    if (Failed(collection->Item(index, &endpoint)) || !endpoint) continue;
    std::wstring id;
    if (Failed(endpoint->GetId(&id))) continue;
    const bool isDefault = id == defaultId;
    visitor(id, FriendlyName(*endpoint), isDefault);
  }
}

Hresult AudioDeviceNotifier::QueryInterface(platform::InterfaceId iid, void** object) {
  if (object == nullptr) return hr::kInvalidArg;
  if (iid == platform::InterfaceId::Unknown || iid == platform::InterfaceId::EndpointNotificationClient) {
    *object = static_cast<platform::IEndpointNotificationClient*>(this);
    AddRef();
    return hr::kOk;
  }
  *object = nullptr;
  return hr::kNoInterface;
}

uint32_t AudioDeviceNotifier::AddRef() { return refCount_.fetch_add(1) + 1; }

uint32_t AudioDeviceNotifier::Release() {
  const uint32_t count = refCount_.fetch_sub(1) - 1;
  if (count == 0) delete this;
  return count;
}

Hresult AudioDeviceNotifier::OnDeviceStateChanged(const wchar_t* deviceId, uint32_t) {
  MarkIfCurrent(deviceId);
  return hr::kOk;
}

Hresult AudioDeviceNotifier::OnDeviceAdded(const wchar_t*) { return hr::kOk; }

Hresult AudioDeviceNotifier::OnDeviceRemoved(const wchar_t* deviceId) {
  MarkIfCurrent(deviceId);
  return hr::kOk;
}

Hresult AudioDeviceNotifier::OnDefaultDeviceChanged(DataFlow flow, platform::Role role, const wchar_t*) {
  if (flow == flow_ && role == platform::Role::Console) {
    LockGuard lock(mutex_);
    MarkChangedLocked();
  }
  return hr::kOk;
}

Hresult AudioDeviceNotifier::OnPropertyValueChanged(const wchar_t*, uint32_t) { return hr::kOk; }

void AudioDeviceNotifier::SetCurrentDeviceId(std::wstring id) {
  LockGuard lock(mutex_);
  currentDeviceId_ = std::move(id);
}

bool AudioDeviceNotifier::TakeChanged() {
  LockGuard lock(mutex_);
  const bool changed = deviceChanged_;
  deviceChanged_ = false;
  return changed;
}

void AudioDeviceNotifier::WaitForChange(std::chrono::milliseconds timeout) {
  UniqueLock lock(mutex_);
  changed_.wait_for(lock, timeout, [this] {
    mutex_.AssertHeld();
    return deviceChanged_;
  });
}

void AudioDeviceNotifier::MarkIfCurrent(const wchar_t* deviceId) {
  if (deviceId == nullptr) return;
  LockGuard lock(mutex_);
  if (!currentDeviceId_.empty() && currentDeviceId_ == deviceId) MarkChangedLocked();
}

void AudioDeviceNotifier::MarkChangedLocked() {
  deviceChanged_ = true;
  changed_.notify_all();
}

MmcssScope::MmcssScope(platform::IAudioSystem& audio) : audio_(audio), handle_(audio.EnterProAudioScheduling()) {
  if (handle_ != nullptr) audio_.SetCriticalPriority(handle_);
}

MmcssScope::~MmcssScope() {
  if (handle_ != nullptr) audio_.LeaveProAudioScheduling(handle_);
}

}  // namespace ostrel
