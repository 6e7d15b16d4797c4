// Which frames a capture at `fps` takes, and when the pacer repeats one.
//
// Frames are taken on a grid of frame slots (tick-clock times) anchored to
// the first frame after a start: a source frame is taken when it arrives no
// more than a quarter period before the next slot is due, and starts a new
// grid when it arrives more than half a period after it (a slower source, a
// stall); frames that keep arriving late move the grid later. A frame taken
// is stamped with its slot's time, and a slot whose
// window closed without a source frame goes to the pacer, whose repeat is
// stamped with the slot's time too.
//
// Why a grid rather than "one period after the last frame taken": stamps
// within a grid are whole periods apart, so their rounding to the encoder's
// 1/fps time base is exact and no two frames ever round to one time stamp
// (the encoder would push the second and every frame after it a frame late);
// a late arrival no longer makes the gate skip a source frame and shift every
// later one by a source period; and a source slightly faster than the capture
// (75 Hz at 60 fps) yields the capture rate, not half the source's. The
// stamp is off the arrival by at most half a period, which is what rounding
// to the time base costs in any case.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

namespace ostrel {

class FrameRateGate {
 public:
  // A new capture starting at `startTicks`: a frame within three quarters of
  // a period of it is not taken, and the pacer has nothing to repeat.
  void Reset(int64_t startTicks, uint32_t fps);
  // The time stamp of the source frame arriving at `ticks` when it is to be
  // taken: its slot's time, or its arrival when it starts a new grid. Frame
  // handlers and the pacer may call from several threads at once.
  std::optional<int64_t> Admit(int64_t ticks);
  // The latest slot whose window had closed at `nowTicks` with no frame in
  // it since the last frame taken: the pacer's repeat fills it.
  std::optional<int64_t> TakeMissedSlot(int64_t nowTicks);

 private:
  int64_t SlotTicks(int64_t index) const;

  static constexpr int kSettleFrames = 4;

  std::mutex mutex_;
  double periodTicks_ = 0;
  int64_t anchorTicks_ = 0;  // the grid's slot 0; the start before the first frame
  int64_t index_ = 0;        // slot of the last frame taken or repeated
  bool anchored_ = false;
  int lateRun_ = 0;         // frames in a row taken more than an eighth of a period late
  int64_t leastLate_ = 0;   // the least delay among them, in ticks
};

}  // namespace ostrel
