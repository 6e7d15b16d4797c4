// Real video segments and audio chunks for save tests, made without the
// live pipeline: libx264 into an in-memory MP4 the way the live segment
// encoder writes one (one H.264 stream, no B-frames, GOP of two seconds,
// BT.709 limited range, key frame first, pts from 0 at 1/fps).
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

extern "C" {
#include <libavutil/pixfmt.h>
}

#include "replay/records.h"

namespace ostrel::testing {

struct SegmentOptions {
  uint32_t width = 160;
  uint32_t height = 96;
  uint32_t fps = 30;
  uint32_t frameCount = 60;
  int whiteFrame = -1;            // this frame is solid white; the others are dark
  AVPixelFormat pixelFormat = AV_PIX_FMT_NV12;  // AV_PIX_FMT_YUV422P makes a 4:2:2 stream
};

// The MP4 bytes of one segment; throws std::runtime_error when FFmpeg fails.
SharedBytes EncodeSegmentBytes(const SegmentOptions& options);
// A record sharing existing bytes (cheap: reuse one encoding many times).
EncodedSegment SegmentFromBytes(SharedBytes bytes, int64_t startTicks, double durationSeconds, uint32_t frameCount,
                                bool needsReencode = false);

// Wave format blocks: 18-byte header (+22 extension bytes when extensible).
std::vector<uint8_t> WaveFormatBlock(uint16_t formatTag, uint16_t channels, uint32_t rate, uint16_t bits,
                                     uint16_t validBits = 0, uint32_t channelMask = 0, uint16_t subFormatTag = 0);

// Raw interleaved bytes in a PCM (8/16/24/32-bit), float (32-bit) or
// extensible format, from a generator of sample values in [-1, 1] for
// (frame, channel).
std::vector<uint8_t> MakeAudioBytes(const std::vector<uint8_t>& waveFormat, uint64_t frames,
                                    const std::function<double(uint64_t frame, int channel)>& sample);

// A chunk record holding bytes, with its own format reference when given.
AudioChunk MakeAudioChunk(std::vector<uint8_t> bytes, int64_t startTicks, double durationSeconds,
                          const std::vector<uint8_t>* ownFormat = nullptr);

}  // namespace ostrel::testing
