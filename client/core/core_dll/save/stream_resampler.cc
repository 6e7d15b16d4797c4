#include "save/stream_resampler.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>
#include <string>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

namespace ostrel {
namespace {

// Input goes to the filter in pieces of at most this many frames, so the
// scratch buffers stay small whatever the chunk sizes are.
constexpr size_t kPieceFrames = 16384;
// The SoX resampler (libsoxr) at its "high quality" 20-bit precision: far
// below what 128 kbit/s AAC keeps, at a third less time than 28 bits. The
// Debian FFmpeg this is built against has libsoxr.
constexpr double kSoxrPrecision = 20.0;
// Builds without soxr fall back to FFmpeg's own polyphase filter with twice
// the default filter length.
constexpr int kSwrFilterSize = 64;

AVSampleFormat SampleFormatOf(const WaveFormatInfo& format) {
  if (format.kind == WaveSampleKind::kFloat) {
    return format.bitsPerSample == 64 ? AV_SAMPLE_FMT_DBL : AV_SAMPLE_FMT_FLT;
  }
  switch (format.bitsPerSample) {
    case 8: return AV_SAMPLE_FMT_U8;
    case 16: return AV_SAMPLE_FMT_S16;
    default: return AV_SAMPLE_FMT_S32;  // 24-bit is widened to 32-bit before the filter
  }
}

// The speaker positions of the channel mask when it names exactly one per
// channel; else FFmpeg's default layout for the channel count.
void InputLayout(const WaveFormatInfo& format, AVChannelLayout* layout) {
  if (format.channelMask != 0 && std::popcount(format.channelMask) == format.channels &&
      av_channel_layout_from_mask(layout, format.channelMask) == 0) {
    return;
  }
  av_channel_layout_default(layout, format.channels);
}

ffmpeg::SwrContextPtr MakeContext(const WaveFormatInfo& format, AVSampleFormat inputFormat, bool soxr,
                                  uint32_t rateScale) {
  AVChannelLayout inLayout{};
  AVChannelLayout outLayout{};
  InputLayout(format, &inLayout);
  av_channel_layout_default(&outLayout, StreamResampler::kOutputChannels);
  SwrContext* raw = nullptr;
  int result = swr_alloc_set_opts2(&raw, &outLayout, AV_SAMPLE_FMT_FLT,
                                   static_cast<int>(StreamResampler::kOutputRate * rateScale), &inLayout,
                                   inputFormat, static_cast<int>(format.samplesPerSecond), 0, nullptr);
  av_channel_layout_uninit(&inLayout);
  av_channel_layout_uninit(&outLayout);
  ffmpeg::SwrContextPtr swr(raw);
  if (result < 0 || !swr) return nullptr;

  // Mixing in float keeps the standard downmix coefficients as they are
  // (centre and surrounds at -3 dB, no LFE); an integer mix stage would
  // scale them down to avoid overflow.
  av_opt_set_sample_fmt(swr.get(), "internal_sample_fmt", AV_SAMPLE_FMT_FLTP, 0);
  if (soxr) {
    av_opt_set_int(swr.get(), "resampler", SWR_ENGINE_SOXR, 0);
    av_opt_set_double(swr.get(), "precision", kSoxrPrecision, 0);
  } else {
    av_opt_set_int(swr.get(), "resampler", SWR_ENGINE_SWR, 0);
    av_opt_set_int(swr.get(), "filter_size", kSwrFilterSize, 0);
  }
  if (format.channels == 1) {
    // A mono source (usually a microphone) is heard at full level on both
    // sides, not split at -3 dB as a centre channel would be.
    const double matrix[2] = {1.0, 1.0};
    if (swr_set_matrix(swr.get(), matrix, 1) < 0) return nullptr;
  }
  if (swr_init(swr.get()) < 0) return nullptr;
  return swr;
}

}  // namespace

StreamResampler::StreamResampler(const WaveFormatInfo& format, uint32_t rateScale)
    : format_(format), rateScale_(std::max(rateScale, 1u)) {
  inputFormat_ = SampleFormatOf(format);
  packed24_ = format.kind == WaveSampleKind::kInteger && format.bitsPerSample == 24;
  swr_ = MakeContext(format_, inputFormat_, true, rateScale_);
  if (!swr_) swr_ = MakeContext(format_, inputFormat_, false, rateScale_);
  if (!swr_) {
    throw std::runtime_error("audio resampler setup failed for " + std::to_string(format.channels) + " channel(s) at " +
                             std::to_string(format.samplesPerSecond / rateScale_) + " Hz");
  }
}

void StreamResampler::Push(const uint8_t* data, size_t size, std::vector<float>& out) {
  if (finished_ || size == 0) return;
  const size_t block = format_.blockAlign;
  // Complete a frame left over from the previous push first.
  if (!partial_.empty()) {
    size_t take = std::min(block - partial_.size(), size);
    partial_.insert(partial_.end(), data, data + take);
    data += take;
    size -= take;
    if (partial_.size() < block) return;
    ConvertFrames(partial_.data(), 1, out);
    partial_.clear();
  }
  size_t frames = size / block;
  for (size_t done = 0; done < frames;) {
    size_t count = std::min(kPieceFrames, frames - done);
    ConvertFrames(data + done * block, count, out);
    done += count;
  }
  size_t rest = size - frames * block;
  if (rest > 0) partial_.assign(data + frames * block, data + size);
}

void StreamResampler::ConvertFrames(const uint8_t* frames, size_t count, std::vector<float>& out) {
  const uint8_t* input = frames;
  if (packed24_) {
    // No FFmpeg sample format is packed 24-bit: widen each sample into the
    // top of a 32-bit integer (same scale as full-range 32-bit PCM).
    size_t samples = count * format_.channels;
    widened_.resize(samples);
    for (size_t i = 0; i < samples; ++i) {
      const uint8_t* p = frames + i * 3;
      uint32_t value = (static_cast<uint32_t>(p[0]) << 8) | (static_cast<uint32_t>(p[1]) << 16) |
                       (static_cast<uint32_t>(p[2]) << 24);
      widened_[i] = static_cast<int32_t>(value);
    }
    input = reinterpret_cast<const uint8_t*>(widened_.data());
  }
  int capacity = swr_get_out_samples(swr_.get(), static_cast<int>(count));
  if (capacity < 0) throw std::runtime_error("audio resampler failed");
  size_t before = out.size();
  out.resize(before + static_cast<size_t>(capacity) * kOutputChannels);
  auto* outPtr = reinterpret_cast<uint8_t*>(out.data() + before);
  const uint8_t* inPtr = input;
  int produced = swr_convert(swr_.get(), &outPtr, capacity, &inPtr, static_cast<int>(count));
  if (produced < 0) {
    out.resize(before);
    throw std::runtime_error("audio resampler failed");
  }
  out.resize(before + static_cast<size_t>(produced) * kOutputChannels);
}

void StreamResampler::Drain(std::vector<float>& out) {
  for (;;) {
    int capacity = std::max(swr_get_out_samples(swr_.get(), 0), 4096);
    size_t before = out.size();
    out.resize(before + static_cast<size_t>(capacity) * kOutputChannels);
    auto* outPtr = reinterpret_cast<uint8_t*>(out.data() + before);
    int produced = swr_convert(swr_.get(), &outPtr, capacity, nullptr, 0);
    if (produced <= 0) {
      out.resize(before);
      return;
    }
    out.resize(before + static_cast<size_t>(produced) * kOutputChannels);
  }
}

void StreamResampler::Finish(std::vector<float>& out) {
  if (finished_) return;
  finished_ = true;
  partial_.clear();  // an incomplete last frame cannot be played
  Drain(out);
}

std::vector<float> StreamResampler::Convert(const uint8_t* data, size_t size, const uint8_t* format,
                                            size_t formatSize) {
  std::vector<float> out;
  if (size == 0) return out;
  StreamResampler resampler(ParseWaveFormat(format, formatSize));
  out.reserve(static_cast<size_t>(static_cast<double>(size) / resampler.format_.blockAlign * kOutputRate /
                                  resampler.format_.samplesPerSecond * kOutputChannels) +
              8192);
  resampler.Push(data, size, out);
  resampler.Finish(out);
  return out;
}

}  // namespace ostrel
