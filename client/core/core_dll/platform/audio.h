// Audio endpoints (Core Audio + WASAPI on Windows, PulseAudio on Linux).
//
// Formats travel as wave format blocks: the 18-byte WAVEFORMATEX header
// followed by cbSize extension bytes (WAVEFORMATEXTENSIBLE whole).
//
// Threads: enumerators, endpoints and clients are used by one thread at a
// time (the capture thread that made them, or the thread listing devices).
// Notification callbacks arrive on the backend's own threads, concurrently
// with everything else; a callback must only set flags and signal.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/hresult.h"

namespace ostrel::platform {

enum class DataFlow : int32_t { Render = 0, Capture = 1 };
enum class Role : int32_t { Console = 0, Multimedia = 1, Communications = 2 };

constexpr uint32_t kDeviceStateActive = 1;
constexpr uint32_t kStreamFlagsLoopback = 0x20000;  // AUDCLNT_STREAMFLAGS_LOOPBACK
constexpr uint32_t kBufferFlagsSilent = 0x2;        // AUDCLNT_BUFFERFLAGS_SILENT

// Interfaces a notification client may be asked for.
enum class InterfaceId { Unknown, EndpointNotificationClient, Other };

// IMMNotificationClient: reference-counted, owned by whoever holds a
// reference; the enumerator holds one while registered.
class IEndpointNotificationClient {
 public:
  virtual Hresult QueryInterface(InterfaceId iid, void** object) = 0;
  virtual uint32_t AddRef() = 0;
  virtual uint32_t Release() = 0;
  virtual Hresult OnDeviceStateChanged(const wchar_t* deviceId, uint32_t newState) = 0;
  virtual Hresult OnDeviceAdded(const wchar_t* deviceId) = 0;
  virtual Hresult OnDeviceRemoved(const wchar_t* deviceId) = 0;
  virtual Hresult OnDefaultDeviceChanged(DataFlow flow, Role role, const wchar_t* defaultDeviceId) = 0;
  virtual Hresult OnPropertyValueChanged(const wchar_t* deviceId, uint32_t propertyId) = 0;

 protected:
  ~IEndpointNotificationClient() = default;  // destroyed through Release
};

class IAudioCaptureClient {
 public:
  virtual ~IAudioCaptureClient() = default;
  virtual Hresult GetNextPacketSize(uint32_t* frames) = 0;
  // The packet stays valid until ReleaseBuffer. `qpcPosition` is when the
  // packet's first frame was captured: the performance counter in 100 ns
  // units, as WASAPI's GetBuffer reports it (the counter TickClock reads);
  // 0 when the backend cannot tell, and audio then runs at the nominal rate.
  virtual Hresult GetBuffer(const uint8_t** data, uint32_t* frames, uint32_t* flags,
                            uint64_t* devicePosition, uint64_t* qpcPosition) = 0;
  virtual Hresult ReleaseBuffer(uint32_t frames) = 0;
};

// IAudioRenderClient: the writing side of a render stream.
class IAudioRenderClient {
 public:
  virtual ~IAudioRenderClient() = default;
  // Room for `frames` frames, valid until ReleaseBuffer.
  virtual Hresult GetBuffer(uint32_t frames, uint8_t** data) = 0;
  // `flags` kBufferFlagsSilent: the frames are silence whatever they hold.
  virtual Hresult ReleaseBuffer(uint32_t frames, uint32_t flags) = 0;
};

class IAudioClient {
 public:
  virtual ~IAudioClient() = default;
  virtual Hresult GetMixFormat(std::vector<uint8_t>* waveFormat) = 0;
  // Shared mode, polling (no event), no session GUID. A render endpoint
  // takes a loopback stream (capture) or a plain one (render); a backend
  // whose loopback keeps delivering while nothing plays (PulseAudio's
  // monitor sources) refuses render streams with kNotImplemented.
  virtual Hresult Initialize(uint32_t streamFlags, int64_t bufferDuration100ns,
                             const std::vector<uint8_t>& waveFormat) = 0;
  virtual Hresult GetCaptureClient(std::shared_ptr<IAudioCaptureClient>* out) = 0;
  // Render streams: the buffer's size and how much of it is still queued, in
  // frames, and its writing side.
  virtual Hresult GetBufferSize(uint32_t* frames) = 0;
  virtual Hresult GetCurrentPadding(uint32_t* frames) = 0;
  virtual Hresult GetRenderClient(std::shared_ptr<IAudioRenderClient>* out) = 0;
  virtual Hresult Start() = 0;
  virtual Hresult Stop() = 0;
};

class IAudioEndpoint {
 public:
  virtual ~IAudioEndpoint() = default;
  virtual Hresult GetId(std::wstring* id) = 0;
  // PKEY_Device_FriendlyName through the property store; fails when the store
  // cannot be opened or the value is not a string.
  virtual Hresult GetFriendlyName(std::wstring* name) = 0;
  virtual Hresult Activate(std::shared_ptr<IAudioClient>* out) = 0;
};

class IAudioEndpointCollection {
 public:
  virtual ~IAudioEndpointCollection() = default;
  virtual Hresult GetCount(uint32_t* count) = 0;
  virtual Hresult Item(uint32_t index, std::shared_ptr<IAudioEndpoint>* out) = 0;
};

class IAudioDeviceEnumerator {
 public:
  virtual ~IAudioDeviceEnumerator() = default;
  // kNotFound when no endpoint of the flow exists.
  virtual Hresult GetDefaultAudioEndpoint(DataFlow flow, Role role,
                                          std::shared_ptr<IAudioEndpoint>* out) = 0;
  virtual Hresult GetDevice(const std::wstring& id, std::shared_ptr<IAudioEndpoint>* out) = 0;
  virtual Hresult EnumAudioEndpoints(DataFlow flow, uint32_t stateMask,
                                     std::shared_ptr<IAudioEndpointCollection>* out) = 0;
  virtual Hresult RegisterEndpointNotificationCallback(IEndpointNotificationClient* client) = 0;
  virtual Hresult UnregisterEndpointNotificationCallback(IEndpointNotificationClient* client) = 0;
};

class IAudioSystem {
 public:
  virtual ~IAudioSystem() = default;
  virtual Hresult CreateDeviceEnumerator(std::shared_ptr<IAudioDeviceEnumerator>* out) = 0;
  // Multimedia class scheduler: registration handle or null; no-ops where
  // the platform has no equivalent.
  virtual void* EnterProAudioScheduling() = 0;
  virtual bool SetCriticalPriority(void* handle) = 0;
  virtual void LeaveProAudioScheduling(void* handle) = 0;
};

}  // namespace ostrel::platform
