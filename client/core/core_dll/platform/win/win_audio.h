// The Windows audio backend's parts that know each other: endpoints hand out
// clients, enumerators wrap notification clients in COM objects.
//
// Link: ole32, avrt (the interface and class ids come from __uuidof, so no
// uuid library is needed).
#pragma once

#include <windows.h>
#include <audioclient.h>
#include <mmdeviceapi.h>

#include <atomic>
#include <memory>

#include "platform/audio.h"
#include "platform/win/win_com.h"

namespace ostrel::win {

// One shared-mode stream's capture side.
class WinAudioCaptureClient final : public platform::IAudioCaptureClient {
 public:
  explicit WinAudioCaptureClient(ComPtr<::IAudioCaptureClient> capture) : capture_(std::move(capture)) {}

  Hresult GetNextPacketSize(uint32_t* frames) override;
  Hresult GetBuffer(const uint8_t** data, uint32_t* frames, uint32_t* flags, uint64_t* devicePosition,
                    uint64_t* qpcPosition) override;
  Hresult ReleaseBuffer(uint32_t frames) override;

 private:
  ComPtr<::IAudioCaptureClient> capture_;
};

std::shared_ptr<platform::IAudioClient> MakeAudioClient(ComPtr<::IAudioClient> client);

// A COM IMMNotificationClient that forwards every call to `client`, holding
// one reference to it for its own lifetime.
ComPtr<IMMNotificationClient> MakeNotificationForwarder(platform::IEndpointNotificationClient* client);

}  // namespace ostrel::win
