// A stream of silence played to the endpoint whose loopback is captured.
// While nothing plays, the audio engine may stop serving an endpoint, and
// its loopback then delivers no packets at all; a running render stream
// keeps the engine going, so the loopback delivers packets of silence like
// at any other time. The capture does not rely on it: a stretch without
// packets is still placed by time.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/audio.h"

namespace ostrel {

class SilentRenderStream {
 public:
  SilentRenderStream() = default;
  ~SilentRenderStream() { Close(); }
  SilentRenderStream(const SilentRenderStream&) = delete;
  SilentRenderStream& operator=(const SilentRenderStream&) = delete;

  // Opens a shared-mode stream in `mixFormat` on `endpoint`, queues a buffer
  // of silence and starts it. On failure nothing stays open
  // (kNotImplemented: the backend's loopback needs no such stream).
  Hresult Open(platform::IAudioEndpoint& endpoint, const std::vector<uint8_t>& mixFormat);
  // Tops the queue up with silence; a failed call closes the stream and is
  // returned.
  Hresult Feed();
  bool IsOpen() const { return render_ != nullptr; }
  void Close();

 private:
  std::shared_ptr<platform::IAudioClient> client_;
  std::shared_ptr<platform::IAudioRenderClient> render_;
  uint32_t bufferFrames_ = 0;
  bool started_ = false;
};

}  // namespace ostrel
