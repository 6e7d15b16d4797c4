// The FFmpeg segment encoder: GPU convert-and-scale into NV12, four staging
// copies in flight (on a device in system memory: each frame converted
// straight into the encoder's picture), FFmpeg H.264 encode (through a hardware frames context
// for an encoder that takes only those), MP4 muxed into memory. The class
// itself is private to its source file; MakeFfmpegSegmentEncoder builds it.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

extern "C" {
#include <libavformat/version.h>
#include <libavutil/pixfmt.h>
}

#include "encode/gpu_encode_context.h"
#include "encode/video_segment_encoder.h"

struct AVCodec;
struct AVCodecContext;
struct AVDictionary;
struct AVFrame;
struct AVPacket;

namespace ostrel {

// Custom output of the MP4 muxer: a growable byte vector with a write
// position. The static callbacks take the writer as their opaque pointer.
class MemoryWriter {
 public:
  // Writes `size` bytes at the position, growing the vector as needed, and
  // advances the position. Always succeeds; returns `size` (0 for size <= 0).
  static int Write(void* opaque, const uint8_t* data, int size);
  // AVSEEK_SIZE returns the vector's size and changes nothing. whence 0/1/2
  // target offset / position + offset / size + offset; the position becomes
  // the target, which is returned. Another whence or a negative target
  // returns -1 and leaves the position.
  static int64_t Seek(void* opaque, int64_t offset, int whence);
  // Write in the signature this FFmpeg's avio_alloc_context takes (its
  // buffer became const in libavformat 61).
#if LIBAVFORMAT_VERSION_MAJOR >= 61
  static int AvioWrite(void* opaque, const uint8_t* data, int size) { return Write(opaque, data, size); }
#else
  static int AvioWrite(void* opaque, uint8_t* data, int size) { return Write(opaque, data, size); }
#endif

  const std::vector<uint8_t>& Bytes() const { return bytes_; }
  uint64_t Position() const { return position_; }
  // The bytes at their size: the vector grew by doubling, and the ring keeps
  // a segment for the whole replay, so spare capacity would be held too.
  std::vector<uint8_t> TakeBytes() {
    bytes_.shrink_to_fit();
    return std::exchange(bytes_, {});
  }

 private:
  std::vector<uint8_t> bytes_;
  uint64_t position_ = 0;
};

// How the segment encoder finds, opens and feeds its FFmpeg encoder. The
// default calls avcodec_find_encoder_by_name, avcodec_open2,
// avcodec_send_frame and avcodec_receive_packet; tests substitute encoders
// that cannot exist on the machine at hand (Quick Sync, an asynchronous
// Media Foundation transform). The opener outlives the encoders it serves.
class EncoderOpener {
 public:
  virtual ~EncoderOpener() = default;
  virtual const AVCodec* Find(const std::string& name) const;
  virtual int Open(AVCodecContext* context, const AVCodec* codec, AVDictionary** options) const;
  virtual int SendFrame(AVCodecContext* context, const AVFrame* frame) const;
  virtual int ReceivePacket(AVCodecContext* context, AVPacket* packet) const;
  static const EncoderOpener& Default();
};

// How long a frame the encoder refuses (EAGAIN) is offered again, with its
// packets taken in between, before it counts as dropped. An asynchronous
// transform takes input again once its output is taken; this bounds one
// that never does.
constexpr std::chrono::milliseconds kRefusedFrameRetryLimit{200};

// The live bit rate of the two-stage arm is min(3 x target, this).
constexpr uint64_t kTwoStageLiveBitrateCap = 35000000;

// The pixel format the segment encoder feeds `codec`: NV12, the layout of
// the converted frames, unless the encoder lists planar 4:2:0 without NV12
// (libopenh264), which then gets the chroma plane split in two, or lists
// both and `planarFirst` says the frames are converted on the CPU straight
// into the picture (which writes planar chroma as cheaply). An encoder of
// hardware frames only (h264_vaapi) gets NV12 uploaded into its surfaces.
AVPixelFormat SegmentEncoderPixelFormat(const AVCodec* codec, bool planarFirst = false);

// Applies the segment encoder settings (size, 1/fps time base, NV12, bit
// rate with 2x max rate and 4x buffer, GOP of two seconds, no B-frames,
// BT.709 limited range) to a freshly allocated codec context.
void ApplySegmentEncoderSettings(AVCodecContext* context, uint32_t width, uint32_t height, uint32_t fps,
                                 uint64_t bitrate);

// The single-stage option dictionary entries for an encoder name (Quick Sync:
// preset and async depth; libx264: the real-time configuration; h264_vaapi:
// constant bit rate; h264_mf: hardware transforms only; others none).
std::vector<std::pair<std::string, std::string>> SingleStageEncoderOptions(std::string_view encoderName);

// Builds an FfmpegSegmentEncoder. Throws std::runtime_error ("No FFmpeg
// encoder available (fallback chain exhausted)", "avcodec_open2 failed for
// previously-probed encoder", "avformat_write_header failed") or HresultError.
std::unique_ptr<IVideoSegmentEncoder> MakeFfmpegSegmentEncoder(
    const GpuEncodeContext& context, uint32_t width, uint32_t height, uint32_t fps, uint32_t bitrate,
    const EncoderOpener& opener = EncoderOpener::Default());

}  // namespace ostrel
