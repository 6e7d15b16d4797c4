// Conversion of one audio source's device audio, as one continuous stream,
// to 48 kHz stereo 32-bit float (interleaved), with libswresample.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ffmpeg/ffmpeg_ptr.h"
#include "save/wave_format.h"

namespace ostrel {

class StreamResampler {
 public:
  static constexpr int kOutputRate = 48000;
  static constexpr int kOutputChannels = 2;

  // Throws std::runtime_error for a format the converter cannot take. With
  // `rateScale` above 1, format.samplesPerSecond is the input rate times
  // that scale (a rate known to a fraction of a hertz); the output is still
  // 48 kHz.
  explicit StreamResampler(const WaveFormatInfo& format, uint32_t rateScale = 1);
  StreamResampler(const StreamResampler&) = delete;
  StreamResampler& operator=(const StreamResampler&) = delete;

  // Feeds the next bytes of the stream (any split; a partial frame waits for
  // the rest) and appends the converted frames to `out`.
  void Push(const uint8_t* data, size_t size, std::vector<float>& out);
  // Ends the stream: appends what the filter still holds. No Push after it.
  void Finish(std::vector<float>& out);

  // The whole conversion of one byte stream in one format (empty in, empty out).
  static std::vector<float> Convert(const uint8_t* data, size_t size, const uint8_t* format, size_t formatSize);

 private:
  void ConvertFrames(const uint8_t* frames, size_t count, std::vector<float>& out);
  void Drain(std::vector<float>& out);

  WaveFormatInfo format_;
  uint32_t rateScale_ = 1;
  AVSampleFormat inputFormat_ = AV_SAMPLE_FMT_NONE;
  bool packed24_ = false;   // 24-bit samples are widened to 32-bit first
  ffmpeg::SwrContextPtr swr_;
  std::vector<uint8_t> partial_;  // bytes of an incomplete frame
  std::vector<int32_t> widened_;  // scratch for 24-bit input
  bool finished_ = false;
};

}  // namespace ostrel
