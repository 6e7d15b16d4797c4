// AAC test signals and checks shared by the slice and running-mix tests: a
// music-like stereo signal, a decoder for raw AAC-LC packets, and the
// signal-to-noise checks a click, gap or shift at a join would fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "ffmpeg/ffmpeg_ptr.h"

namespace ostrel::testing {

inline constexpr int kAacTestRate = 48000;

// Tones with tremolo, a gliding tone, harmonics up to 7 kHz, a little noise
// and a note that starts and stops, different on each side.
std::vector<float> MusicLike(size_t frames);

// Decodes raw AAC-LC packets (48 kHz stereo) to interleaved float, dropping
// the samples before time 0 (the first packet's time stamp is negative: the
// encoder's priming) as an MP4 edit list does.
std::vector<float> Decode(const std::vector<ffmpeg::PacketPtr>& packets);

double SnrDb(const std::vector<float>& source, const std::vector<float>& decoded, size_t fromFrame, size_t toFrame);

// Every 1024-sample block within four encoder frames of `at` is as close to
// the source as `floor`: a click, a gap or a shifted part would take a block
// far below.
void ExpectSeamless(const std::vector<float>& source, const std::vector<float>& decoded, int64_t at, double floor);

}  // namespace ostrel::testing
