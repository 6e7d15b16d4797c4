// The fake-world recording that the memory benches run.
#pragma once

#include "ostrel/ostrel.h"
#include "ostrel/ostrel_sim.h"
#include "session_log.h"

namespace bench {

// A fresh fake world with the library initialized, both audio sources at
// 0.6, and a 1920x1080 window whose content changes at 60 Hz.
inline void* PrepareSimWindow(OstrelLogCallback onLogLine) {
  Ostrel_SetLogCallback(onLogLine);
  OstrelSim_Reset();
  Ostrel_GlobalInitialize();
  Ostrel_SetAudioSettings(0.6f, 0.6f, false, false, nullptr, nullptr);
  void* window = OstrelSim_CreateWindow(1920, 1080);
  OstrelSim_SetWindowContentRate(window, 60.0);
  return window;
}

// 720p60 at 6 Mbit/s with the replay length given; 0 when it started.
inline int StartRecording(void* window, int replaySeconds) {
  return Ostrel_StartCapture(window, false, 720, 60, 6000000, replaySeconds);
}

}  // namespace bench
