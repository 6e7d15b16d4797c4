// Memory telemetry while recording: one "[DIAG-REC-MEM]" line every 10 s
// with the process's memory and the rings' sizes.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "log/log.h"
#include "replay/audio_ring.h"
#include "replay/record_ring.h"
#include "save/save_telemetry.h"

namespace ostrel {

// "[DIAG-REC-MEM] t=%ds priv=%.1fMB ws=%.1fMB ringV=%zuMB ringA=%zuMB".
std::wstring RecordingTelemetryLine(int seconds, const MemorySample& sample, uint64_t videoBytes,
                                    uint64_t audioBytes);

// The recording telemetry loop with its step as a parameter (the worker uses
// 250 ms: a line at once and then every 40 steps).
void RunRecordingTelemetryLoop(const std::atomic<bool>& stopRequested, const SegmentRing& videoRing,
                               const AudioRing& desktopRing, const AudioRing& micRing, const LogSink& log,
                               std::chrono::milliseconds step,
                               const MemorySampleSource& source = ReadMemorySample);

// The session's telemetry worker: the loop with 250 ms steps until
// `stopRequested`.
void RunRecordingTelemetry(const std::atomic<bool>& stopRequested, const SegmentRing& videoRing,
                           const AudioRing& desktopRing, const AudioRing& micRing, LogSink log);

}  // namespace ostrel
