// Memory telemetry of a save: the stage lines and the one-second sampler
// that runs while a save does; the memory readings the recording line
// (recording/recording_telemetry.h) shares.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "log/log.h"
#include "replay/audio_ring.h"
#include "replay/record_ring.h"
#include "sync/mutex.h"

namespace ostrel {

// Private bytes and working set of the process, in MiB.
struct MemorySample {
  double priv = 0.0;
  double ws = 0.0;
};

// From the platform's process memory counters; zeros when unreadable.
MemorySample ReadMemorySample();
using MemorySampleSource = std::function<MemorySample()>;

// printf into a wide buffer of `capacity` characters; longer output is cut
// to capacity - 1 characters.
std::wstring FormatCut(size_t capacity, const wchar_t* format, ...);

// One "[DIAG-SAVE-MEM]" line per named stage of a save, with the change of
// private bytes since the previous stage.
class SaveMemoryTracker {
 public:
  explicit SaveMemoryTracker(LogSink log, MemorySampleSource source = ReadMemorySample);
  void Stage(const std::wstring& name, const std::wstring& suffix);

 private:
  LogSink log_;
  double previousPriv_ = 0.0;
  MemorySampleSource source_;
};

// " ringV=..MB ringA=..MB snapV=..MB snapA=..MB": the live rings and the
// save's own snapshots (buffers the save already dropped count 0).
struct SaveSizeSuffix {
  const SegmentRing::Snapshot& videoSnapshot;
  const AudioRing::Snapshot& desktopSnapshot;
  const AudioRing::Snapshot& micSnapshot;
  const SegmentRing& videoRing;
  const AudioRing& desktopRing;
  const AudioRing& micRing;

  std::wstring Text() const;
};

// "segment-%02zu".
std::wstring SegmentStageName(size_t index);
// label + whole MiB + "MB", e.g. " rawBytes=12MB".
std::wstring MiBSuffix(const wchar_t* label, uint64_t bytes);

// The one-second sampler body: "[DIAG-SAVE-MEM-1S] t=%ds ..." every fourth
// 250 ms step until `stop` is set. `waitStep` waits one step (it may return
// early once `stop` is set); empty: a plain 250 ms sleep.
void RunSaveMemorySampler(const std::atomic<bool>& stop, const LogSink& log,
                          const MemorySampleSource& source = ReadMemorySample,
                          const std::function<void()>& waitStep = nullptr);

// Runs the sampler on its own thread for the life of the object; the
// destructor stops and joins it, so every exit of a save ends it. The step
// wait is woken by the stop, so ending a save never waits out a step.
class SaveMemorySampler {
 public:
  explicit SaveMemorySampler(LogSink log, MemorySampleSource source = ReadMemorySample);
  SaveMemorySampler(const SaveMemorySampler&) = delete;
  SaveMemorySampler& operator=(const SaveMemorySampler&) = delete;
  ~SaveMemorySampler();

 private:
  std::atomic<bool> stop_{false};
  Mutex wakeMutex_;  // orders stop_ with the wake-up; guards nothing of its own
  std::condition_variable wake_;
  LogSink log_;
  MemorySampleSource source_;
  std::thread thread_;
};

}  // namespace ostrel
