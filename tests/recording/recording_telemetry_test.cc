#include "recording/recording_telemetry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

namespace ostrel {
namespace {

TEST(RecordingTelemetry, ALineAtOnceAndEveryFortiethStepWithTheRingsSizesUntilStopped) {
  EXPECT_EQ(RecordingTelemetryLine(20, {12.34, 56.78}, 7u << 20, (3u << 20) - 1),
            L"[DIAG-REC-MEM] t=20s priv=12.3MB ws=56.8MB ringV=7MB ringA=2MB");

  SegmentRing video;
  AudioRing desktop, mic;
  std::vector<std::wstring> lines;
  std::atomic<bool> stop{false};
  int samples = 0;
  // Each line reads memory once; the third reading asks the loop to stop.
  auto source = [&] {
    stop.store(++samples == 3);
    return MemorySample{1.0, 2.0};
  };
  RunRecordingTelemetryLoop(stop, video, desktop, mic, [&](const std::wstring& line) { lines.push_back(line); },
                            std::chrono::milliseconds(0), source);
  EXPECT_EQ(samples, 3);  // steps 0, 40 and 80; none after the stop
  ASSERT_EQ(lines.size(), 3u);
  for (const std::wstring& line : lines) {
    EXPECT_EQ(line, L"[DIAG-REC-MEM] t=0s priv=1.0MB ws=2.0MB ringV=0MB ringA=0MB");
  }
}

}  // namespace
}  // namespace ostrel
