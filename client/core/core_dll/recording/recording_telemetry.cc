#include "recording/recording_telemetry.h"

#include <thread>

namespace ostrel {
namespace {

constexpr int kStepsPerRecordingLine = 40;

}  // namespace

std::wstring RecordingTelemetryLine(int seconds, const MemorySample& sample, uint64_t videoBytes,
                                    uint64_t audioBytes) {
  return FormatCut(192, L"[DIAG-REC-MEM] t=%ds priv=%.1fMB ws=%.1fMB ringV=%zuMB ringA=%zuMB", seconds, sample.priv,
                   sample.ws, static_cast<size_t>(videoBytes >> 20), static_cast<size_t>(audioBytes >> 20));
}

void RunRecordingTelemetryLoop(const std::atomic<bool>& stopRequested, const SegmentRing& videoRing,
                               const AudioRing& desktopRing, const AudioRing& micRing, const LogSink& log,
                               std::chrono::milliseconds step, const MemorySampleSource& source) {
  const auto start = std::chrono::steady_clock::now();
  for (int n = 0;; ++n) {
    if (stopRequested.load()) return;
    if (n % kStepsPerRecordingLine == 0) {
      MemorySample sample = source();
      uint64_t videoBytes = videoRing.TotalBytes();
      uint64_t desktopBytes = desktopRing.TotalBytes();
      uint64_t micBytes = micRing.TotalBytes();
      auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
      LogTo(log, RecordingTelemetryLine(static_cast<int>(elapsed.count()), sample, videoBytes,
                                        desktopBytes + micBytes));
    }
    std::this_thread::sleep_for(step);
  }
}

void RunRecordingTelemetry(const std::atomic<bool>& stopRequested, const SegmentRing& videoRing,
                           const AudioRing& desktopRing, const AudioRing& micRing, LogSink log) {
  RunRecordingTelemetryLoop(stopRequested, videoRing, desktopRing, micRing, log, std::chrono::milliseconds(250));
}

}  // namespace ostrel
