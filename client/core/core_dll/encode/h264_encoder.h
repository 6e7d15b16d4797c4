// One opened FFmpeg H.264 encoder with its input frame (and, for an encoder
// of hardware frames, the surface the frame is uploaded into). Segments feed
// it frames stamped in their own time base and get the packets back in it.
//
// A software encoder without frame delay (libx264 in its zero-latency
// set-up, libopenh264) is kept across segments: each segment forces an IDR
// frame at its start, so it still decodes on its own, while the encoder's
// state (some 15 MB of x264 frames and buffers at 720p) is allocated once per
// capture instead of once per 2 s segment. Encoders that queue frames
// (hardware queues, the Quick Sync live arm) are opened per segment and
// flushed at its end.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "encode/gpu_encode_context.h"
#include "ffmpeg/ffmpeg_ptr.h"

struct AVCodec;
struct AVCodecContext;
struct AVDictionary;
struct AVPacket;

namespace ostrel {

// How the segment encoder finds and opens its FFmpeg encoder. The default
// calls avcodec_find_encoder_by_name and avcodec_open2; tests substitute
// encoders that cannot exist on the machine at hand (Quick Sync).
class EncoderOpener {
 public:
  virtual ~EncoderOpener() = default;
  virtual const AVCodec* Find(const std::string& name) const;
  virtual int Open(AVCodecContext* context, const AVCodec* codec, AVDictionary** options) const;
  static const EncoderOpener& Default();
};

// A frame that could not reach the encoder's hardware surface: an encoder
// error of that frame only, the segment goes on.
class HardwareUploadError : public std::runtime_error {
 public:
  explicit HardwareUploadError(int code);
};

struct H264EncoderSettings {
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t fps = 0;
  uint64_t bitrate = 0;
  bool lowPower = false;  // the Quick Sync live arm
};

class H264Encoder {
 public:
  using PacketSink = std::function<void(AVPacket&)>;

  // Opens `codec` (the context's encoder) with these settings; null when it
  // is missing or refuses them. Throws HresultError when no frame buffer can
  // be had.
  static std::unique_ptr<H264Encoder> Open(const GpuEncodeContext& context, const AVCodec* codec,
                                           const EncoderOpener& opener, const H264EncoderSettings& settings);
  H264Encoder(const H264Encoder&) = delete;
  H264Encoder& operator=(const H264Encoder&) = delete;
  ~H264Encoder();

  const AVCodecContext& Codec() const { return *codec_; }
  const H264EncoderSettings& Settings() const { return settings_; }
  // True for an encoder without frame delay whose key frames can be forced:
  // every segment of the capture at these settings shares it.
  bool KeptAcrossSegments() const { return keptAcrossSegments_; }

  // The input frame, writable, in the layout the encoder takes (NV12, or
  // planar 4:2:0 for an encoder without NV12); null when it cannot be made
  // writable.
  AVFrame* WritableInput();
  // Encodes the input frame at `pts` (1/fps units from its segment's start,
  // rising within the segment); `segmentStart` marks a segment's first
  // frame. Packets of this segment reach `sink` with pts and dts in the same
  // units. Returns FFmpeg's error when the frame was refused. Throws
  // HardwareUploadError.
  int Encode(int64_t pts, bool segmentStart, const PacketSink& sink);
  // Sends the end of stream and hands out the delayed packets; only for an
  // encoder that is not kept across segments (a kept one has none).
  void Flush(const PacketSink& sink);

 private:
  H264Encoder(const GpuEncodeContext& context, const H264EncoderSettings& settings);
  bool Configure(const AVCodec* codec);
  void ReceivePackets(const PacketSink& sink);

  const GpuEncodeContext& context_;
  H264EncoderSettings settings_;
  ffmpeg::CodecContextPtr codec_;
  ffmpeg::FramePtr frame_;
  ffmpeg::FramePtr surface_;
  ffmpeg::PacketPtr packet_;
  bool keptAcrossSegments_ = false;
  // Encoder time = segment time + offset; a kept encoder's time keeps rising
  // from segment to segment.
  int64_t ptsOffset_ = 0;
  int64_t lastEncoderPts_ = -1;
  int64_t packetsOfEarlierSegments_ = 0;
};

// The encoder for a segment with these settings: the capture's kept encoder
// when it matches (`reused`), otherwise a newly opened one, kept in the
// context for the segments after it when it can be. `encoder` is null when
// it does not open.
struct AcquiredH264Encoder {
  std::shared_ptr<H264Encoder> encoder;
  bool reused = false;
};
AcquiredH264Encoder AcquireH264Encoder(const GpuEncodeContext& context, const AVCodec* codec,
                                       const EncoderOpener& opener, const H264EncoderSettings& settings);

}  // namespace ostrel
