// Audio capture workers and the endpoint list.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "log/log.h"
#include "platform/audio.h"
#include "replay/audio_ring.h"
#include "replay/replay_window.h"

namespace ostrel {

// Body of the desktop (Render: loopback) and microphone (Capture) workers:
// records the endpoint into `ring` in ~2 s chunks until `stopRequested`.
// deviceId empty follows the system default endpoint of the flow.
void RunAudioCapture(platform::DataFlow flow, AudioRing& ring, const ReplayWindow& window,
                     const std::atomic<bool>& stopRequested, std::wstring tag, LogSink logSink,
                     std::wstring deviceId);

// Lists the active endpoints of one flow on the calling thread.
using AudioDeviceVisitor = std::function<void(const std::wstring& id, const std::wstring& name, bool isDefault)>;
void EnumerateAudioDevices(bool captureDevices, const AudioDeviceVisitor& visitor);

}  // namespace ostrel
