// The clip's AAC encoder: 48 kHz stereo planar float at 128 kbit/s, fed
// interleaved mix frames piece by piece, writing packets straight into the
// clip's audio stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "ffmpeg/ffmpeg_ptr.h"
#include "save/save_seam.h"

namespace ostrel {

class AacEncoder {
 public:
  static constexpr int kSampleRate = 48000;
  static constexpr int64_t kBitRate = 128000;

  // Receives each packet, time stamps in samples (1/kSampleRate); the packet
  // is unreferenced after the call.
  using PacketSink = std::function<void(AVPacket* packet)>;

  // Throws std::runtime_error "avcodec_open2 failed for aac encoder".
  AacEncoder(AVFormatContext* output, unsigned streamIndex, const SaveSeam& seam = PlainSaveSeam());
  // Hands packets to `sink` instead of a clip; the first sample fed is
  // sample `firstSample` of the stream.
  AacEncoder(PacketSink sink, uint64_t firstSample, const SaveSeam& seam = PlainSaveSeam());
  // Drains what the encoder still holds and drops it (an encoder closed
  // with frames queued makes FFmpeg warn); a flushed one holds nothing.
  ~AacEncoder();
  AacEncoder(const AacEncoder&) = delete;
  AacEncoder& operator=(const AacEncoder&) = delete;

  // Encoder parameters and time base onto the clip's audio stream.
  void SetupStream(AVStream* stream) const;

  // Appends `frames` interleaved stereo frames and encodes every whole
  // encoder frame they complete.
  void Feed(const float* samples, size_t frames);
  // Encodes what is pending as one last, shorter frame; then drains.
  void Flush();

  size_t PendingFrames() const { return (pending_.size() - pendingStart_) / 2; }

 private:
  void EncodeFrame(uint32_t frames);
  void DrainPackets();

  void Open();

  AVFormatContext* output_ = nullptr;
  unsigned streamIndex_ = 0;
  const SaveSeam* seam_ = nullptr;
  PacketSink sink_;
  ffmpeg::CodecContextPtr codec_;
  ffmpeg::PacketPtr packet_;
  uint32_t frameSize_ = 1024;
  // Pending interleaved samples from pendingStart_ on; the consumed front is
  // dropped once per feed instead of once per encoder frame.
  std::vector<float> pending_;
  size_t pendingStart_ = 0;
  uint64_t nextPts_ = 0;
};

}  // namespace ostrel
