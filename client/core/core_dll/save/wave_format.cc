#include "save/wave_format.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "platform/hresult.h"

namespace ostrel {
namespace {

constexpr size_t kPlainHeaderSize = 16;  // WAVEFORMAT + bits per sample (PCMWAVEFORMAT)
constexpr size_t kHeaderSize = 18;       // WAVEFORMATEX
constexpr size_t kExtensibleExtension = 22;
constexpr uint16_t kMaxChannels = 8;
constexpr uint32_t kMinRate = 1000;
constexpr uint32_t kMaxRate = 768000;

uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t U32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

// A platform error, as the platform's resampler refusing the format would
// raise; the detail travels in what().
[[noreturn]] void Unsupported(const std::string& what) {
  throw HresultError(hr::kAudioUnsupportedFormat, "unsupported audio format: " + what);
}

std::string Hex4(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X", value);
  return text;
}

}  // namespace

WaveGuid WaveSubFormatGuid(uint16_t formatTag) {
  // KSDATAFORMAT_SUBTYPE_*: Data1 = the tag, Data2 = 0, Data3 = 0x0010,
  // Data4 = 80 00 00 AA 00 38 9B 71, stored little endian.
  return {static_cast<uint8_t>(formatTag & 0xFF), static_cast<uint8_t>(formatTag >> 8), 0, 0, 0, 0, 0x10, 0,
          0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
}

WaveFormatInfo ParseWaveFormat(const uint8_t* data, size_t size) {
  if (data == nullptr || size < kPlainHeaderSize) {
    Unsupported("wave format block of " + std::to_string(size) + " bytes is too short");
  }
  WaveFormatInfo info;
  info.formatTag = U16(data);
  info.channels = U16(data + 2);
  info.samplesPerSecond = U32(data + 4);
  info.averageBytesPerSecond = U32(data + 8);
  info.blockAlign = U16(data + 12);
  info.bitsPerSample = U16(data + 14);
  info.validBitsPerSample = info.bitsPerSample;
  uint16_t extensionSize = size >= kHeaderSize ? U16(data + 16) : 0;
  if (size >= kHeaderSize && size < kHeaderSize + extensionSize) {
    Unsupported("wave format block of " + std::to_string(size) + " bytes is shorter than its extension size " +
                std::to_string(extensionSize) + " says");
  }

  uint16_t effectiveTag = info.formatTag;
  if (info.formatTag == kWaveFormatExtensible) {
    if (extensionSize < kExtensibleExtension) {
      Unsupported("extensible wave format with an extension of " + std::to_string(extensionSize) + " bytes");
    }
    info.validBitsPerSample = U16(data + 18);
    info.channelMask = U32(data + 20);
    std::copy(data + 24, data + 40, info.subFormat.begin());
    if (info.subFormat == WaveSubFormatGuid(kWaveFormatPcm)) {
      effectiveTag = kWaveFormatPcm;
    } else if (info.subFormat == WaveSubFormatGuid(kWaveFormatIeeeFloat)) {
      effectiveTag = kWaveFormatIeeeFloat;
    } else {
      Unsupported("extensible sub-format is neither PCM nor IEEE float");
    }
    // Some drivers leave the valid-bits field 0; the container size holds.
    if (info.validBitsPerSample == 0) info.validBitsPerSample = info.bitsPerSample;
  }

  if (effectiveTag == kWaveFormatPcm) {
    info.kind = WaveSampleKind::kInteger;
    if (info.bitsPerSample != 8 && info.bitsPerSample != 16 && info.bitsPerSample != 24 && info.bitsPerSample != 32) {
      Unsupported(std::to_string(info.bitsPerSample) + "-bit PCM");
    }
  } else if (effectiveTag == kWaveFormatIeeeFloat) {
    info.kind = WaveSampleKind::kFloat;
    if (info.bitsPerSample != 32 && info.bitsPerSample != 64) {
      Unsupported(std::to_string(info.bitsPerSample) + "-bit float");
    }
  } else {
    Unsupported("format tag " + Hex4(info.formatTag));
  }

  if (info.channels < 1 || info.channels > kMaxChannels) {
    Unsupported(std::to_string(info.channels) + " channels");
  }
  if (info.samplesPerSecond < kMinRate || info.samplesPerSecond > kMaxRate) {
    Unsupported("sample rate " + std::to_string(info.samplesPerSecond));
  }
  if (info.validBitsPerSample > info.bitsPerSample) {
    Unsupported(std::to_string(info.validBitsPerSample) + " valid bits in a " + std::to_string(info.bitsPerSample) +
                "-bit container");
  }
  if (info.blockAlign != info.channels * info.BytesPerSample()) {
    Unsupported("block align " + std::to_string(info.blockAlign) + " for " + std::to_string(info.channels) + " x " +
                std::to_string(info.bitsPerSample) + "-bit samples");
  }
  return info;
}

}  // namespace ostrel
