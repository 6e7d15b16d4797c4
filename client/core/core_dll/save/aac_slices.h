// The clip's whole mix encoded to AAC in slices on parallel threads. Each
// slice's encoder starts a few frames before its slice (pre-roll) and runs a
// few frames past it, so its psychoacoustic state, rate control and the
// transform overlap at each join are those of one continuous encoder; only
// the packets that fall inside the slice are kept. The packets are the same
// count, time stamps and durations a single encoder gives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ffmpeg/ffmpeg_ptr.h"

namespace ostrel {

// Encoder frames each slice's encoder runs before and after its slice.
constexpr uint64_t kAacSliceOverlapFrames = 16;

// How many slices a mix of `frames` stereo frames is cut into: one per
// hardware thread (at most 4), each at least 5 s long.
unsigned AacSliceCount(uint64_t frames, unsigned hardwareThreads);

// Encodes `frames` interleaved stereo 48 kHz frames in `slices` slices.
// Returns the packets in order, time stamps in samples (1/48000); the first
// packet is the encoder's priming. Throws what AacEncoder throws.
std::vector<ffmpeg::PacketPtr> EncodeAacInSlices(const float* interleaved, uint64_t frames, unsigned slices);

}  // namespace ostrel
