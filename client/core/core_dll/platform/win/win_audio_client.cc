// WASAPI shared-mode streams: mix format, initialisation, capture packets
// and the render side of the silent stream that keeps a loopback going.
//
// Link: ole32 (CoTaskMemFree).
#include <cstring>

#include "platform/win/win_audio.h"

namespace ostrel::win {
namespace {

// The fixed WAVEFORMATEX header that every wave format block begins with.
constexpr size_t kWaveFormatHeaderBytes = 18;
static_assert(sizeof(WAVEFORMATEX) == kWaveFormatHeaderBytes, "packed WAVEFORMATEX");

class WinAudioRenderClient final : public platform::IAudioRenderClient {
 public:
  explicit WinAudioRenderClient(ComPtr<::IAudioRenderClient> render) : render_(std::move(render)) {}

  Hresult GetBuffer(uint32_t frames, uint8_t** data) override {
    if (data == nullptr) return hr::kInvalidArg;
    BYTE* buffer = nullptr;
    const HRESULT result = render_->GetBuffer(frames, &buffer);
    *data = buffer;
    return static_cast<Hresult>(result);
  }

  Hresult ReleaseBuffer(uint32_t frames, uint32_t flags) override {
    return static_cast<Hresult>(render_->ReleaseBuffer(frames, flags));
  }

 private:
  ComPtr<::IAudioRenderClient> render_;
};

class WinAudioClient final : public platform::IAudioClient {
 public:
  explicit WinAudioClient(ComPtr<::IAudioClient> client) : client_(std::move(client)) {}

  Hresult GetMixFormat(std::vector<uint8_t>* waveFormat) override {
    if (waveFormat == nullptr) return hr::kInvalidArg;
    WAVEFORMATEX* raw = nullptr;
    const HRESULT result = client_->GetMixFormat(&raw);
    CoTaskMemPtr<WAVEFORMATEX> format(raw);
    if (FAILED(result)) return static_cast<Hresult>(result);
    if (!format) return hr::kFail;
    const auto* bytes = reinterpret_cast<const uint8_t*>(format.get());
    waveFormat->assign(bytes, bytes + kWaveFormatHeaderBytes + format->cbSize);
    return static_cast<Hresult>(result);
  }

  Hresult Initialize(uint32_t streamFlags, int64_t bufferDuration100ns,
                     const std::vector<uint8_t>& waveFormat) override {
    // A block shorter than its own header and extension would make the
    // system read past it.
    if (waveFormat.size() < kWaveFormatHeaderBytes) return hr::kInvalidArg;
    WAVEFORMATEX header{};
    std::memcpy(&header, waveFormat.data(), kWaveFormatHeaderBytes);
    if (waveFormat.size() < kWaveFormatHeaderBytes + header.cbSize) return hr::kInvalidArg;
    return static_cast<Hresult>(client_->Initialize(AUDCLNT_SHAREMODE_SHARED, streamFlags, bufferDuration100ns, 0,
                                                    reinterpret_cast<const WAVEFORMATEX*>(waveFormat.data()), nullptr));
  }

  Hresult GetCaptureClient(std::shared_ptr<platform::IAudioCaptureClient>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    ComPtr<::IAudioCaptureClient> capture;
    const HRESULT result = client_->GetService(IID_PPV_ARGS(capture.GetAddressOf()));
    if (FAILED(result)) return static_cast<Hresult>(result);
    if (!capture) return hr::kFail;
    *out = std::make_shared<WinAudioCaptureClient>(std::move(capture));
    return static_cast<Hresult>(result);
  }

  Hresult GetBufferSize(uint32_t* frames) override {
    if (frames == nullptr) return hr::kInvalidArg;
    UINT32 size = 0;
    const HRESULT result = client_->GetBufferSize(&size);
    *frames = size;
    return static_cast<Hresult>(result);
  }

  Hresult GetCurrentPadding(uint32_t* frames) override {
    if (frames == nullptr) return hr::kInvalidArg;
    UINT32 padding = 0;
    const HRESULT result = client_->GetCurrentPadding(&padding);
    *frames = padding;
    return static_cast<Hresult>(result);
  }

  Hresult GetRenderClient(std::shared_ptr<platform::IAudioRenderClient>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->reset();
    ComPtr<::IAudioRenderClient> render;
    const HRESULT result = client_->GetService(IID_PPV_ARGS(render.GetAddressOf()));
    if (FAILED(result)) return static_cast<Hresult>(result);
    if (!render) return hr::kFail;
    *out = std::make_shared<WinAudioRenderClient>(std::move(render));
    return static_cast<Hresult>(result);
  }

  Hresult Start() override { return static_cast<Hresult>(client_->Start()); }
  Hresult Stop() override { return static_cast<Hresult>(client_->Stop()); }

 private:
  ComPtr<::IAudioClient> client_;
};

}  // namespace

Hresult WinAudioCaptureClient::GetNextPacketSize(uint32_t* frames) {
  if (frames == nullptr) return hr::kInvalidArg;
  UINT32 packet = 0;
  const HRESULT result = capture_->GetNextPacketSize(&packet);
  *frames = packet;
  return static_cast<Hresult>(result);
}

Hresult WinAudioCaptureClient::GetBuffer(const uint8_t** data, uint32_t* frames, uint32_t* flags,
                                         uint64_t* devicePosition, uint64_t* qpcPosition) {
  if (data == nullptr || frames == nullptr || flags == nullptr || devicePosition == nullptr ||
      qpcPosition == nullptr) {
    return hr::kInvalidArg;
  }
  BYTE* packet = nullptr;
  UINT32 packetFrames = 0;
  DWORD packetFlags = 0;
  UINT64 position = 0;
  UINT64 packetQpc = 0;
  // The QPC position comes in 100-nanosecond units already.
  const HRESULT result = capture_->GetBuffer(&packet, &packetFrames, &packetFlags, &position, &packetQpc);
  *data = packet;
  *frames = packetFrames;
  *flags = packetFlags;
  *devicePosition = position;
  *qpcPosition = packetQpc;
  return static_cast<Hresult>(result);
}

Hresult WinAudioCaptureClient::ReleaseBuffer(uint32_t frames) {
  return static_cast<Hresult>(capture_->ReleaseBuffer(frames));
}

std::shared_ptr<platform::IAudioClient> MakeAudioClient(ComPtr<::IAudioClient> client) {
  return std::make_shared<WinAudioClient>(std::move(client));
}

}  // namespace ostrel::win
