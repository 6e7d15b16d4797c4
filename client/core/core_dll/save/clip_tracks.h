// The clip's audio tracks: the mix alone, or the mix (track 1, the default
// one a plain player plays) followed by the desktop audio and the
// microphone, each on its own. Every track has the same frames: as long as
// the video and on the same clip zero.
#pragma once

#include <cstdint>
#include <vector>

#include "audio/audio_settings.h"
#include "ffmpeg/ffmpeg_ptr.h"
#include "save/aac_encoder.h"
#include "save/audio_mix.h"

namespace ostrel {

// Track titles, in stream order.
inline constexpr const char* kAudioTrackTitles[] = {"Mix", "Desktop audio", "Microphone"};

// Adds the audio streams (one, or three with `separateTracks`) with the
// encoder's parameters; with three, each is titled and only the mix is the
// default track. Returns their stream indexes in track order.
std::vector<unsigned> AddAudioStreams(AVFormatContext* output, const AacEncoder& aac, bool separateTracks);

// One source alone over the clip, mixed and encoded at save time (the
// running mix did not cover the clip): `frames` mix frames from clip zero,
// the source at `gain`, encoded in slices. Packets in clip samples.
std::vector<ffmpeg::PacketPtr> EncodeSourceTrack(MixContext& context, const AudioRing::Snapshot& chunks,
                                                 const std::shared_ptr<const std::vector<uint8_t>>& format,
                                                 float gain);

}  // namespace ostrel
