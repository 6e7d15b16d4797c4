// The fake world's audio endpoints.
#pragma once

#include "platform/audio.h"

namespace ostrel::sim {

// The audio system the sim platform hands out.
platform::IAudioSystem& SimAudioSystem();
// Back to the default endpoints (called by OstrelSim_Reset).
void ResetSimAudio();

}  // namespace ostrel::sim
