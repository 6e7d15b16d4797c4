// The stream format a capture asks the sound server for, and its wave format
// block (what GetMixFormat hands the core).
#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <vector>

namespace ostrel::linuxp {

struct PulseStreamFormat {
  pa_sample_spec sampleFormat{};
  pa_channel_map map{};
  std::vector<uint8_t> waveFormat;  // WAVEFORMATEXTENSIBLE, 40 bytes
};

// The device's own rate, channels and sample format where a wave format can
// carry them as they are; otherwise the nearest one the server converts to:
// float for big-endian and companded samples, 32-bit for 24-in-32 (whose
// padding sits on the other side in a wave format), the wave speaker order
// for maps that do not follow it, stereo beyond eight channels.
PulseStreamFormat ChooseStreamFormat(const pa_sample_spec& device, const pa_channel_map& deviceMap);

}  // namespace ostrel::linuxp
