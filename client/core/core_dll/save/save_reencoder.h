// The save-time H.264 re-encoder: every segment of a clip decoded and fed
// into one encoder that writes straight into the clip's video stream.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "ffmpeg/ffmpeg_ptr.h"
#include "log/log.h"
#include "replay/records.h"
#include "save/save_seam.h"

namespace ostrel {

// The ways the encoder is opened, in the order quality mode tries them.
enum class ReencodeAttempt { kFast, kQualityTier2, kQualityTier1, kQualityTier0 };

// True only when OSTREL_SAVE_QUALITY, read into 8 wide characters, is
// exactly the single character "1".
bool SaveQualityModeRequested();

// The option dictionary of an attempt: filled for Quick Sync encoders only.
std::vector<std::pair<std::string, std::string>> ReencoderOptions(bool qsv, ReencodeAttempt attempt);
// "CURRENT (veryfast, ...)" / "QUALITY (veryslow, ...)" for the log line.
std::wstring ReencoderDescription(ReencodeAttempt attempt);

// Copies a decoded frame into an NV12 frame of width x height: NV12 plane by
// plane, planar 4:2:0 with its chroma interleaved. Throws for other pixel
// formats and for frames of another size.
void CopyDecodedToNv12(const AVFrame& decoded, AVFrame& target, uint32_t width, uint32_t height);

class SaveReencoder {
 public:
  // Throws std::runtime_error "save-time re-encoder: ..." when the encoder is
  // missing or no attempt opens it (an encoder of hardware frames opens only
  // on the media platform's device for it).
  SaveReencoder(const std::string& encoderName, const LogSink& log, AVFormatContext* output, unsigned streamIndex,
                uint32_t width, uint32_t height, uint32_t fps, uint32_t bitrate,
                const SaveSeam& seam = PlainSaveSeam());
  SaveReencoder(const SaveReencoder&) = delete;
  SaveReencoder& operator=(const SaveReencoder&) = delete;
  ~SaveReencoder();

  // Encoder parameters and time base (1 / frame rate) onto the clip stream.
  void SetupStream(AVStream* stream) const;

  // Decodes one segment and encodes its frames at clip time (segment start -
  // clip start + frame time); frames before clip zero or at or after
  // `clipLengthTicks` are left out. Raises videoEndTicks to the last frame's
  // time.
  void TranscodeSegment(const EncodedSegment& segment, int64_t clipStartTicks, int64_t clipLengthTicks,
                        int64_t& videoEndTicks);
  // End of stream for the encoder; writes what it still holds.
  void Flush();

 private:
  bool OpenAttempt(const AVCodec* codec, ReencodeAttempt attempt, bool qsv);
  void EncodeDecoded(const AVFrame& decoded, AVRational inputBase, int64_t offset, int64_t clipLengthTicks,
                     int64_t& first, int64_t& videoEndTicks);
  void DrainEncoder();

  AVFormatContext* output_;
  const SaveSeam& seam_;
  unsigned streamIndex_;
  uint32_t width_;
  uint32_t height_;
  uint32_t fps_;
  uint32_t bitrate_;
  bool quality_ = false;
  ReencodeAttempt openedWith_ = ReencodeAttempt::kFast;
  ffmpeg::CodecContextPtr codec_;
  ffmpeg::PacketPtr packet_;
  ffmpeg::FramePtr frame_;
  // For an encoder of hardware frames only: the platform's device, and the
  // surface each NV12 frame is uploaded into.
  AVPixelFormat hardwareFormat_ = AV_PIX_FMT_NONE;
  ffmpeg::BufferRefPtr device_;
  ffmpeg::FramePtr surface_;
  int64_t lastTimestamp_ = -1;
};

}  // namespace ostrel
