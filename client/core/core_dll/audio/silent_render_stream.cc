#include "audio/silent_render_stream.h"

namespace ostrel {
namespace {

// 100 ms queued: topped up every poll (10 ms), it never runs dry unless the
// capture thread stalls, and an underrun only plays more silence.
constexpr int64_t kBufferDuration100ns = 1000000;

}  // namespace

Hresult SilentRenderStream::Open(platform::IAudioEndpoint& endpoint, const std::vector<uint8_t>& mixFormat) {
  Close();
  Hresult result = endpoint.Activate(&client_);
  if (Succeeded(result) && !client_) result = hr::kFail;
  if (Succeeded(result)) result = client_->Initialize(0, kBufferDuration100ns, mixFormat);
  if (Succeeded(result)) result = client_->GetBufferSize(&bufferFrames_);
  if (Succeeded(result)) result = client_->GetRenderClient(&render_);
  if (Succeeded(result) && !render_) result = hr::kFail;
  if (Succeeded(result)) result = Feed();  // a full buffer before it starts
  if (Succeeded(result) && IsOpen()) {
    result = client_->Start();
    started_ = Succeeded(result);
  }
  if (Failed(result)) Close();
  return result;
}

Hresult SilentRenderStream::Feed() {
  if (!render_) return hr::kOk;
  uint32_t padding = 0;
  Hresult result = client_->GetCurrentPadding(&padding);
  if (Succeeded(result) && padding < bufferFrames_) {
    const uint32_t frames = bufferFrames_ - padding;
    uint8_t* data = nullptr;
    result = render_->GetBuffer(frames, &data);
    // The flag makes the frames silence whatever the buffer holds.
    if (Succeeded(result)) result = render_->ReleaseBuffer(frames, platform::kBufferFlagsSilent);
  }
  if (Failed(result)) Close();
  return result;
}

void SilentRenderStream::Close() {
  if (started_ && client_) client_->Stop();  // a failing stop changes nothing for us
  started_ = false;
  render_.reset();
  client_.reset();
  bufferFrames_ = 0;
}

}  // namespace ostrel
