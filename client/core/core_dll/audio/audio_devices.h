// What connects audio capture to the system's endpoints: the friendly-name
// lookup, the endpoint-change listener of a capture thread and the
// multimedia-scheduler registration of that thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/audio.h"
#include "sync/mutex.h"

namespace ostrel {

// The endpoint's friendly name, or "(unknown device)" when it cannot be read.
std::wstring FriendlyName(platform::IAudioEndpoint& endpoint);

// The endpoint-change listener of one capture thread. Notifications arrive
// on the audio service's threads; they only set `deviceChanged` and signal.
// Reference-counted: created with one reference (the creator's); Release
// destroys it at zero.
class AudioDeviceNotifier final : public platform::IEndpointNotificationClient {
 public:
  explicit AudioDeviceNotifier(platform::DataFlow flow) : flow_(flow) {}

  Hresult QueryInterface(platform::InterfaceId iid, void** object) override;
  uint32_t AddRef() override;
  uint32_t Release() override;
  // Any state change of the current endpoint counts, whatever the new state.
  Hresult OnDeviceStateChanged(const wchar_t* deviceId, uint32_t newState) override;
  Hresult OnDeviceAdded(const wchar_t* deviceId) override;
  Hresult OnDeviceRemoved(const wchar_t* deviceId) override;
  // A new console default of the notifier's flow counts, also "none".
  Hresult OnDefaultDeviceChanged(platform::DataFlow flow, platform::Role role,
                                 const wchar_t* defaultDeviceId) override;
  Hresult OnPropertyValueChanged(const wchar_t* deviceId, uint32_t propertyId) override;

  // The endpoint the capture thread is using (kept while it waits for one).
  void SetCurrentDeviceId(std::wstring id);
  // Returns whether a change was marked, and clears the mark.
  bool TakeChanged();
  // Waits until a change is marked or the timeout passed; leaves the mark.
  void WaitForChange(std::chrono::milliseconds timeout);

 private:
  ~AudioDeviceNotifier() = default;
  void MarkIfCurrent(const wchar_t* deviceId);
  void MarkChangedLocked() REQUIRES(mutex_);

  std::atomic<uint32_t> refCount_{1};
  const platform::DataFlow flow_;
  Mutex mutex_;
  std::condition_variable changed_;
  bool deviceChanged_ GUARDED_BY(mutex_) = false;
  std::wstring currentDeviceId_ GUARDED_BY(mutex_);
};

// Drops one reference of a notification client.
struct NotificationClientRelease {
  void operator()(platform::IEndpointNotificationClient* client) const {
    if (client != nullptr) client->Release();
  }
};
using AudioDeviceNotifierPtr = std::unique_ptr<AudioDeviceNotifier, NotificationClientRelease>;

// The thread's registration with the multimedia class scheduler ("Pro Audio"
// at critical priority) for the scope's lifetime; capture works without it.
class MmcssScope {
 public:
  explicit MmcssScope(platform::IAudioSystem& audio);
  ~MmcssScope();
  MmcssScope(const MmcssScope&) = delete;
  MmcssScope& operator=(const MmcssScope&) = delete;

 private:
  platform::IAudioSystem& audio_;
  void* handle_;
};

}  // namespace ostrel
