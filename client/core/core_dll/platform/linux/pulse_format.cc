#include "platform/linux/pulse_format.h"

#include <array>

namespace ostrel::linuxp {
namespace {

constexpr uint16_t kWaveFormatExtensible = 0xFFFE;
constexpr uint16_t kWaveFormatPcm = 1;
constexpr uint16_t kWaveFormatIeeeFloat = 3;
constexpr uint8_t kMaxChannels = 8;  // what the save's mixer takes

// dwChannelMask bit of a position; 0 when a wave format has no such speaker.
uint32_t SpeakerBit(pa_channel_position_t position) {
  switch (position) {
    case PA_CHANNEL_POSITION_FRONT_LEFT: return 0x1;
    case PA_CHANNEL_POSITION_FRONT_RIGHT: return 0x2;
    case PA_CHANNEL_POSITION_MONO:
    case PA_CHANNEL_POSITION_FRONT_CENTER: return 0x4;
    case PA_CHANNEL_POSITION_LFE: return 0x8;
    case PA_CHANNEL_POSITION_REAR_LEFT: return 0x10;
    case PA_CHANNEL_POSITION_REAR_RIGHT: return 0x20;
    case PA_CHANNEL_POSITION_FRONT_LEFT_OF_CENTER: return 0x40;
    case PA_CHANNEL_POSITION_FRONT_RIGHT_OF_CENTER: return 0x80;
    case PA_CHANNEL_POSITION_REAR_CENTER: return 0x100;
    case PA_CHANNEL_POSITION_SIDE_LEFT: return 0x200;
    case PA_CHANNEL_POSITION_SIDE_RIGHT: return 0x400;
    case PA_CHANNEL_POSITION_TOP_CENTER: return 0x800;
    case PA_CHANNEL_POSITION_TOP_FRONT_LEFT: return 0x1000;
    case PA_CHANNEL_POSITION_TOP_FRONT_CENTER: return 0x2000;
    case PA_CHANNEL_POSITION_TOP_FRONT_RIGHT: return 0x4000;
    case PA_CHANNEL_POSITION_TOP_REAR_LEFT: return 0x8000;
    case PA_CHANNEL_POSITION_TOP_REAR_CENTER: return 0x10000;
    case PA_CHANNEL_POSITION_TOP_REAR_RIGHT: return 0x20000;
    default: return 0;
  }
}

// The mask of a map whose speakers all exist in wave formats and come in
// the wave order (ascending bits); 0 otherwise.
uint32_t WaveOrderMask(const pa_channel_map& map) {
  uint32_t mask = 0;
  uint32_t last = 0;
  for (uint8_t i = 0; i < map.channels; ++i) {
    const uint32_t bit = SpeakerBit(map.map[i]);
    if (bit == 0 || bit <= last) return 0;
    mask |= bit;
    last = bit;
  }
  return mask;
}

void PutU16(std::vector<uint8_t>& out, size_t at, uint16_t value) {
  out[at] = static_cast<uint8_t>(value);
  out[at + 1] = static_cast<uint8_t>(value >> 8);
}

void PutU32(std::vector<uint8_t>& out, size_t at, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

PulseStreamFormat ChooseStreamFormat(const pa_sample_spec& device, const pa_channel_map& deviceMap) {
  PulseStreamFormat format;
  format.sampleFormat = device;
  switch (device.format) {
    case PA_SAMPLE_U8:
    case PA_SAMPLE_S16LE:
    case PA_SAMPLE_S24LE:
    case PA_SAMPLE_S32LE:
    case PA_SAMPLE_FLOAT32LE: break;
    case PA_SAMPLE_S24_32LE:
    case PA_SAMPLE_S24_32BE:
    case PA_SAMPLE_S32BE: format.sampleFormat.format = PA_SAMPLE_S32LE; break;
    case PA_SAMPLE_S16BE: format.sampleFormat.format = PA_SAMPLE_S16LE; break;
    case PA_SAMPLE_S24BE: format.sampleFormat.format = PA_SAMPLE_S24LE; break;
    default: format.sampleFormat.format = PA_SAMPLE_FLOAT32LE; break;
  }
  if (format.sampleFormat.channels == 0 || format.sampleFormat.channels > kMaxChannels) format.sampleFormat.channels = 2;

  uint32_t mask = 0;
  if (deviceMap.channels == format.sampleFormat.channels) mask = WaveOrderMask(deviceMap);
  if (mask != 0) {
    format.map = deviceMap;
  } else {
    // The server remaps to the wave order for us.
    pa_channel_map_init_auto(&format.map, format.sampleFormat.channels, PA_CHANNEL_MAP_WAVEEX);
    mask = WaveOrderMask(format.map);
  }

  const bool isFloat = format.sampleFormat.format == PA_SAMPLE_FLOAT32LE;
  const auto sampleBytes = static_cast<uint16_t>(pa_sample_size(&format.sampleFormat));
  const auto blockAlign = static_cast<uint16_t>(sampleBytes * format.sampleFormat.channels);
  std::vector<uint8_t>& block = format.waveFormat;
  block.assign(40, 0);
  PutU16(block, 0, kWaveFormatExtensible);
  PutU16(block, 2, format.sampleFormat.channels);
  PutU32(block, 4, format.sampleFormat.rate);
  PutU32(block, 8, format.sampleFormat.rate * blockAlign);
  PutU16(block, 12, blockAlign);
  PutU16(block, 14, static_cast<uint16_t>(sampleBytes * 8));
  PutU16(block, 16, 22);
  PutU16(block, 18, static_cast<uint16_t>(sampleBytes * 8));
  PutU32(block, 20, mask);
  // KSDATAFORMAT_SUBTYPE_PCM / _IEEE_FLOAT: the tag in the GUID's first two
  // bytes, then the common tail.
  static constexpr std::array<uint8_t, 14> kGuidTail = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                                        0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
  PutU16(block, 24, isFloat ? kWaveFormatIeeeFloat : kWaveFormatPcm);
  for (size_t i = 0; i < kGuidTail.size(); ++i) block[26 + i] = kGuidTail[i];
  return format;
}

}  // namespace ostrel::linuxp
