// What a host asks of one clip (its length before and after the request,
// separate audio tracks, discarding what it saved) and what outlives a
// single save: the markers of the replay, the discard floor, and the saves
// waiting for the time after their request.
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "replay/audio_ring.h"
#include "replay/record_ring.h"
#include "replay/records.h"
#include "save/save_progress.h"
#include "sync/mutex.h"

namespace ostrel {

struct ClipRequest {
  int seconds = 0;       // before the request; outside 1..replay length: the replay length
  int secondsAfter = 0;  // 0..kMaxSecondsAfter
  bool separateTracks = false;
  bool discardSaved = false;
};
constexpr int kMaxSecondsAfter = 60;

// One moment the host marked, with its label (a chapter title in clips).
struct Marker {
  int64_t ticks = 0;
  std::wstring label;
};

// The markers of the replay, oldest first. Bounded by time like the rings
// (what lies before the eviction cutoff goes at the next add) and by count.
class MarkerRing {
 public:
  static constexpr size_t kMaxMarkers = 1024;
  static constexpr size_t kMaxLabelLength = 255;

  // Drops the markers before `cutoff`, then adds this one unless the ring
  // is full (false).
  bool Add(Marker marker, int64_t cutoff);
  // Markers at or after `from` and before `to`, oldest first.
  std::vector<Marker> Take(int64_t from, int64_t to) const;
  void Clear();

 private:
  mutable Mutex mutex_;
  std::deque<Marker> markers_ GUARDED_BY(mutex_);
};

// Adds the records of `fresh` that `held` lacks (the same record shares its
// start and its bytes), keeping start order.
template <typename Record>
void MergeRecords(std::deque<Record>& held, const std::deque<Record>& fresh) {
  for (const Record& record : fresh) {
    const bool known = std::any_of(held.begin(), held.end(), [&](const Record& have) {
      return have.startTicks == record.startTicks && have.bytes == record.bytes &&
             have.durationSeconds == record.durationSeconds;
    });
    if (!known) held.push_back(record);
  }
  std::stable_sort(held.begin(), held.end(),
                   [](const Record& a, const Record& b) { return a.startTicks < b.startTicks; });
}

// The rings a save reads.
struct ClipRings {
  const SegmentRing& video;
  const AudioRing& desktop;
  const AudioRing& mic;
  const MarkerRing& markers;
};

// What a save waiting for the time after its request keeps of its span:
// every record the rings held at some moment of the wait, so that neither
// eviction (a clip longer than the replay) nor a capture restart clearing
// the rings loses a part of it.
struct ClipHold {
  int64_t startTicks = 0;
  SegmentRing::Snapshot video;
  AudioRing::Snapshot desktop;
  AudioRing::Snapshot mic;
  std::vector<Marker> markers;

  // Takes in what the rings hold from startTicks to `untilTicks`.
  void Merge(const ClipRings& rings, int64_t untilTicks);
};

// The saves waiting for the time after their request (one at a time: the
// save lock) and what ends a wait early.
class ClipWaits {
 public:
  // While a host stop or shutdown waits for the save lock, every wait ends
  // at once; the save then writes what was recorded.
  void BeginStop();
  void EndStop();
  // A capture stop (by the host or a restart after a device loss) is about
  // to clear the rings: the waiting saves take in what they hold, and their
  // waits end.
  void HoldBeforeClear(const ClipRings& rings);

  struct Ended {
    int64_t endTicks = 0;  // where the clip ends: the end asked for, or where the wait was cut short
    bool early = false;
    bool ringsCleared = false;  // a capture stop cleared the rings during the wait
  };
  // Waits until the tick clock reaches `endTicks`, keeping what the rings
  // hold in `hold` every tenth of a second and publishing stage 5 (done of
  // total milliseconds since `requestTicks`). `stopped` (the capture
  // stopping on its own) ends the wait too, once its stop has handed the
  // rings over (at most a few seconds).
  Ended Wait(ClipHold& hold, const ClipRings& rings, SaveProgress& progress, int64_t requestTicks,
             int64_t endTicks, const std::atomic<bool>& stopped);

 private:
  Mutex mutex_;
  std::condition_variable cv_;
  int stopsPending_ GUARDED_BY(mutex_) = 0;
  uint64_t clears_ GUARDED_BY(mutex_) = 0;
  ClipHold* hold_ GUARDED_BY(mutex_) = nullptr;  // the waiting save's, while it waits
};

// How a request shapes one save.
struct ClipShape {
  // The clip's span, its start already past every floor (none: the last
  // `seconds` up to the request).
  std::optional<TickSpan> span;
  // No frame or sample before this (the end of a clip saved with
  // discard-on-save): clip zero is the first frame slot at or after it.
  int64_t notBeforeTicks = INT64_MIN;
  bool separateTracks = false;
  const ClipHold* held = nullptr;        // records a wait kept, merged into the snapshots
  const MarkerRing* markers = nullptr;   // chapters, from the ring and the hold
};

// The session's part of clip requests.
struct ClipRequestState {
  MarkerRing markers;
  ClipWaits waits;
  // A clip saved with discard-on-save ends here; no later clip reaches
  // before it. INT64_MIN: none.
  std::atomic<int64_t> discardFloorTicks{INT64_MIN};
};

}  // namespace ostrel
