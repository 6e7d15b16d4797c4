// Which frames a capture at `fps` takes, and when the pacer repeats one.
//
// Frames are taken on a grid of frame slots (tick-clock times) anchored to
// the first frame after a start, which is always taken. A source frame is
// taken when it arrives no more than a quarter period before the next slot
// is due, and is stamped with the slot it arrived in (from a quarter period
// before a slot to three quarters after); one more than half a period late
// for its slot moves the grid later to itself. Slots a frame skipped (a
// slower source, jitter, a stall) hold the previous picture, which the
// segment encoder repeats, so every slot of the timeline holds a frame.
// Frames that keep arriving late move the grid later. A slot whose window
// closed without a source frame goes to the pacer, whose repeat is stamped
// with that slot's time.
//
// Why a grid rather than "one period after the last frame taken":
// - the grid only ever moves later, so no two stamps are closer than a
//   period, and rounded to the encoder's 1/fps time base none can take
//   another's time stamp (the encoder would push it, and every frame after
//   it, a frame late);
// - delivery jitter cannot switch which frames of a 60 Hz window a 30 fps
//   capture takes, which would leave them half a frame off their segment's
//   time base;
// - a source slightly faster than the capture (75 Hz at 60 fps) yields the
//   capture rate, not half the source's.
// A stamp is off its frame's arrival by at most half a period, which is what
// rounding to the time base costs in any case.
#pragma once

#include <cstdint>
#include <optional>

#include "sync/mutex.h"

namespace ostrel {

class FrameRateGate {
 public:
  // A new capture starting at `startTicks`: a frame within three quarters of
  // a period of it is not taken, and the pacer has nothing to repeat.
  void Reset(int64_t startTicks, uint32_t fps);
  // The time stamp of the source frame arriving at `ticks` when it is to be
  // taken: its slot's time, or its arrival when it starts the grid. Frame
  // handlers and the pacer may call from several threads at once.
  std::optional<int64_t> Admit(int64_t ticks);
  // The latest slot whose window (to three quarters of a period after it)
  // had closed at `nowTicks` with no frame in it since the last frame taken:
  // the pacer's repeat fills it.
  std::optional<int64_t> TakeMissedSlot(int64_t nowTicks);

 private:
  int64_t SlotTicks(int64_t index) const REQUIRES(mutex_);

  static constexpr int kSettleFrames = 4;

  Mutex mutex_;
  double periodTicks_ GUARDED_BY(mutex_) = 0;
  int64_t anchorTicks_ GUARDED_BY(mutex_) = 0;  // the grid's slot 0; the start before the first frame
  int64_t index_ GUARDED_BY(mutex_) = 0;        // slot of the last frame taken or repeated
  bool anchored_ GUARDED_BY(mutex_) = false;
  int lateRun_ GUARDED_BY(mutex_) = 0;        // frames in a row taken more than an eighth of a period late
  int64_t leastLate_ GUARDED_BY(mutex_) = 0;  // the least delay among them, in ticks
};

}  // namespace ostrel
