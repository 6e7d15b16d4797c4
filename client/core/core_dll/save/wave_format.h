// The wave format block an audio ring records (the 18-byte header plus its
// extension): parsed and checked before any conversion.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace ostrel {

constexpr uint16_t kWaveFormatPcm = 0x0001;
constexpr uint16_t kWaveFormatIeeeFloat = 0x0003;
constexpr uint16_t kWaveFormatExtensible = 0xFFFE;

// {00000001-0000-0010-8000-00AA00389B71} and {00000003-...}: the GUID's
// first 32-bit field is the plain format tag, the rest is fixed.
using WaveGuid = std::array<uint8_t, 16>;
WaveGuid WaveSubFormatGuid(uint16_t formatTag);

enum class WaveSampleKind { kInteger, kFloat };

struct WaveFormatInfo {
  uint16_t formatTag = 0;
  uint16_t channels = 0;
  uint32_t samplesPerSecond = 0;
  uint32_t averageBytesPerSecond = 0;
  uint16_t blockAlign = 0;
  uint16_t bitsPerSample = 0;
  uint16_t validBitsPerSample = 0;  // the container size when the block has no extension
  uint32_t channelMask = 0;         // 0 when the block names no speaker positions
  WaveGuid subFormat{};             // zero unless extensible
  WaveSampleKind kind = WaveSampleKind::kInteger;
  uint16_t BytesPerSample() const { return static_cast<uint16_t>(bitsPerSample / 8); }
};

// Parses a wave format block (little endian) and checks that it is one the
// save converts: PCM 8/16/24/32-bit integer, IEEE float 32/64-bit, or an
// extensible block with a PCM or float sub-format; 1 to 8 channels; a
// sample rate from 1000 to 768000; a block align of channels x sample size.
// Throws std::runtime_error "unsupported audio format: ..." naming the fault.
WaveFormatInfo ParseWaveFormat(const uint8_t* data, size_t size);

}  // namespace ostrel
