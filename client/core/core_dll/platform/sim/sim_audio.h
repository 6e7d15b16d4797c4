// The fake world's audio endpoints.
//
// Every endpoint produces frames continuously in real time from the moment a
// client starts its stream: packets of 10 ms (rate / 100 frames) whose sample
// n is the endpoint's signal at tick T0 + n * 10^7 / rate (T0: the tick of
// Start), plus, on render endpoints with sync marks on, a 10 ms full-scale
// click starting exactly at every mark. When an endpoint that is a console
// default is removed, the next endpoint of its flow (in order of addition)
// becomes the default, if there is one.
#pragma once

#include <memory>

#include "platform/audio.h"

namespace ostrel::sim {

inline constexpr const wchar_t* kDefaultRenderEndpointId =
    L"{0.0.0.00000000}.{5e1d0a00-0000-4000-8000-000000000001}";
inline constexpr const wchar_t* kDefaultRenderEndpointName = L"Speakers (Ostrel Sim Audio)";
inline constexpr const wchar_t* kDefaultCaptureEndpointId =
    L"{0.0.1.00000000}.{5e1d0a00-0000-4000-8000-000000000002}";
inline constexpr const wchar_t* kDefaultCaptureEndpointName = L"Microphone (Ostrel Sim Audio)";

struct SimAudioEndpoint;

// The audio system the sim platform hands out.
platform::IAudioSystem& SimAudioSystem();
// Back to the default endpoints (called by OstrelSim_Reset).
void ResetSimAudio();

// A client of one endpoint (what IAudioEndpoint::Activate returns).
std::shared_ptr<platform::IAudioClient> MakeSimAudioClient(std::shared_ptr<SimAudioEndpoint> endpoint);

}  // namespace ostrel::sim
