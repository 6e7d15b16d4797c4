#include "encode/encoder_threads.h"

#include <algorithm>
#include <map>

#include "encode/backoff.h"
#include "encode/encoder_selection.h"
#include "platform/library_apartment.h"
#include "replay/tick_clock.h"

namespace ostrel {
namespace {

double MillisecondsSince(SteadyClock::time_point from, SteadyClock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

std::unique_ptr<IVideoSegmentEncoder> BuildEncoder(RotationState& state) {
  return MakeSegmentEncoder(*state.gpuEncodeContext, state.outputWidth, state.outputHeight, state.fps,
                            state.bitrate);
}

bool SpareReady(RotationState& state) {
  LockGuard lock(state.spareMutex);
  return state.spareEncoder != nullptr;
}

// A spare is asked for or being built.
bool SpareComing(RotationState& state) {
  LockGuard lock(state.spareRequestMutex);
  return state.spareRequested || state.spareBuilding;
}

// The longest a rotation waits for a spare that is being built; past it the
// encoder is built in place, so that segments keep reaching the ring on a
// machine too busy to build one in time.
constexpr std::chrono::milliseconds kSpareWaitLimit = 2 * kSegmentInterval;

// How long after a rotation the next spare is asked for: once the segment's
// first frames are through. They have the most to do (a key frame, while the
// retired encoder is finalized and freed), and building beside them on a
// busy machine costs frames. A save's cut in that time builds in place.
constexpr std::chrono::milliseconds kSpareRequestDelay{250};

// Swaps in the spare (or a freshly built encoder) and queues the retired one
// for finalizing; `cut` is the save cut it serves (0: a periodic rotation).
void Rotate(RotationState& state, uint64_t cut) {
  const SteadyClock::time_point t0 = SteadyClock::now();
  // A spare on its way comes sooner than one built here, and building a
  // second encoder beside it only slows both down.
  while (!SpareReady(state) && SpareComing(state) && !state.stopRequested.load() &&
         SteadyClock::now() - t0 < kSpareWaitLimit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::unique_ptr<IVideoSegmentEncoder> next;
  uint32_t cap = 0;
  {
    LockGuard lock(state.spareMutex);
    next = std::move(state.spareEncoder);
    cap = state.spareFpsCap;
  }
  const bool usedSpare = next != nullptr;
  if (!usedSpare) {
    next = BuildEncoder(state);  // a throw leaves the current encoder in place
    cap = 0;
  }
  const SteadyClock::time_point t1 = SteadyClock::now();
  std::unique_ptr<IVideoSegmentEncoder> retired = std::move(state.encoder);
  if (retired) retired->DrainPending();
  if (state.lastWrittenTicks != INT64_MIN) {
    // The new segment goes on from the slot after the last frame, on the
    // same grid, so that clips joining at a segment boundary meet exactly.
    std::optional<int64_t> slot = retired ? retired->NextSlotTicks() : std::nullopt;
    if (!slot) slot = state.lastWrittenTicks + TickClock::kTicksPerSecond / std::max<uint32_t>(state.fps, 1);
    next->ContinueAt(*slot);
  }
  state.encoder = std::move(next);
  state.segmentFpsCap.store(cap);
  state.lastEncodeTime = SteadyClock::time_point{};
  const SteadyClock::time_point t2 = SteadyClock::now();
  if (retired) {
    {
      LockGuard lock(state.finalizeMutex);
      state.finalizeQueue.push_back({std::move(retired), cut});
    }
    state.finalizeCv.notify_one();
  } else if (cut != 0) {
    SignalCutDone(state, cut);
  }
  double construct = MillisecondsSince(t0, t1);
  double swap = MillisecondsSince(t1, t2);
  if (!usedSpare || construct > 20.0 || swap > 20.0) {
    SessionLog(state, L"[ROTATION-TIMING] usedSpare=" + std::to_wstring(usedSpare ? 1 : 0) +
                          L" construct=" + Fixed6(construct) + L"ms swap=" + Fixed6(swap) + L"ms");
  }
}


// Takes the pending frame, if any: its picture and its stamp together, with
// the texture marked as read until the write is done, so that the capture
// callback copies the next picture into the other one.
class PendingFrameClaim {
 public:
  explicit PendingFrameClaim(RotationState& state) : state_(state) {
    LockGuard lock(state_.frameMutex);
    if (!state_.framePending.exchange(false)) return;
    texture_ = state_.latestFrameTexture;
    ticks_ = state_.frameTicks.load();
    repeat_ = !state_.pendingNewContent;
    state_.pendingNewContent = false;
    state_.frameTextureInUse = texture_;
  }
  ~PendingFrameClaim() {
    if (texture_ < 0) return;
    LockGuard lock(state_.frameMutex);
    state_.frameTextureInUse = -1;
  }
  PendingFrameClaim(const PendingFrameClaim&) = delete;
  PendingFrameClaim& operator=(const PendingFrameClaim&) = delete;

  bool claimed() const { return texture_ >= 0; }
  platform::ITexture& texture() const { return *state_.frameTextures[texture_]; }
  int64_t ticks() const { return ticks_; }
  // Only a pacer repeat of the picture the encoder took last.
  bool repeat() const { return repeat_; }

 private:
  RotationState& state_;
  int texture_ = -1;
  int64_t ticks_ = 0;
  bool repeat_ = false;
};

void EncodePendingFrame(RotationState& state) {
  PendingFrameClaim frame(state);
  if (!frame.claimed() || !state.encoder) return;
  const SteadyClock::time_point t = SteadyClock::now();
  uint32_t cap = state.segmentFpsCap.load();
  if (cap != 0 && state.lastEncodeTime != SteadyClock::time_point{} &&
      t - state.lastEncodeTime < std::chrono::duration<double>(1.0 / cap)) {
    // Above the backoff cap: skipped and counted nowhere. A new picture
    // skipped here is still the one to write with the next repeat.
    if (!frame.repeat()) state.encoderMissedPicture = true;
    return;
  }
  // A repeat of the picture the encoder has needs no new copy of it.
  bool ok = frame.repeat() && !state.encoderMissedPicture && state.encoder->RepeatLast(frame.ticks());
  state.encoderMissedPicture = false;
  if (!ok) ok = state.encoder->WriteFrame(frame.texture(), frame.ticks());
  state.lastWrittenTicks = frame.ticks();
  state.writeCalls.fetch_add(1);
  if (!ok) state.writeFailures.fetch_add(1);
  state.lastEncodeTime = t;
  double elapsed = MillisecondsSince(t, SteadyClock::now());
  if (elapsed > 30.0) SessionLog(state, L"[WRITEFRAME-TIMING] " + Fixed6(elapsed) + L"ms");
}

// Asks for the next spare at once: after a cut, which used the spare the
// next periodic rotation was counting on, and for a rotation that found none.
void RequestSpare(RotationState& state) {
  {
    LockGuard lock(state.spareRequestMutex);
    if (state.spareBuilding) return;
    state.spareRequested = true;
  }
  state.spareCv.notify_one();
}

// How long after its instant a cut waits for a frame stamped at or after it
// (the pacer fills every slot, so one normally comes within a period).
std::chrono::steady_clock::duration CutGrace(const RotationState& state) {
  const auto period = std::chrono::microseconds(1000000 / std::max<uint32_t>(state.fps, 1));
  return std::max<std::chrono::steady_clock::duration>(3 * period, std::chrono::milliseconds(250));
}

// Encoder-thread errors, each distinct one logged once per segment: a lost
// device fails every frame until the watchdog acts, and the host log gets one
// line and a count instead of one line per frame.
class SegmentErrorLog {
 public:
  explicit SegmentErrorLog(RotationState& state) : state_(state) {}
  void Report(const std::wstring& line) {
    auto [entry, first] = repeats_.try_emplace(line, 0);
    if (first) {
      SessionLog(state_, line);
    } else {
      ++entry->second;
    }
  }
  // At the end of a segment: the counts of the lines left out.
  void EndSegment() {
    for (const auto& [line, count] : repeats_) {
      if (count != 0) SessionLog(state_, line + L" (repeated " + std::to_wstring(count) + L" more times in the segment)");
    }
    repeats_.clear();
  }

 private:
  RotationState& state_;
  std::map<std::wstring, uint64_t> repeats_;
};

// Appends a retired encoder's segment to the ring and frees the encoder.
void FinalizeRetired(RotationState& state, std::unique_ptr<IVideoSegmentEncoder> retired, uint64_t cut) {
  // The save waiting for this segment goes on once it is in the ring (or
  // known to be empty or broken).
  struct CutSignal {
    RotationState& state;
    uint64_t cut;
    ~CutSignal() {
      if (cut != 0) SignalCutDone(state, cut);
    }
  } cutSignal{state, cut};
  try {
    EncodedSegment segment = retired->Finalize();
    if (segment.frameCount != 0) {
      state.videoRing.Append(std::move(segment), state.replayWindow);
    } else {
      SessionLog(state,
                 L"[DIAG-EMPTY-SEGMENT] segment finalized with 0 frames - skipped, not added to ring t=" +
                     NowStamp());
    }
    retired.reset();  // FFmpeg objects and textures are released here, off the frame path
  } catch (const HresultError& error) {
    SessionLog(state, L"Finalize thread error: 0x" + Hex32(error.code()));
  } catch (const std::exception& error) {
    SessionLog(state, L"Finalize thread error: " + Widen(error.what()));
  }
}

}  // namespace

void SignalCutDone(RotationState& state, uint64_t cut) {
  {
    LockGuard lock(state.cutMutex);
    state.cutDone = std::max(state.cutDone, cut);
  }
  state.cutCv.notify_all();
}

// The encoder, spare builder and finalize threads open, feed and free
// encoders: each is in the multithreaded apartment for its whole life.

void RunEncoderThread(RotationState& state) {
  ApartmentMembership apartment;
  SegmentErrorLog errors(state);
  // A periodic rotation that finds no spare ready waits for the one being
  // built (up to kSpareWaitLimit) while frames go on into the running
  // segment, which grows: building an encoder here stops the frames for as
  // long as that takes (seconds for a huge window in software). With none on
  // its way it asks for one, and builds in place after an interval. A save's
  // cut rotates at once (Rotate still waits for a spare being built).
  bool rotationWaiting = false;
  SteadyClock::time_point rotationWaitingSince{};
  for (;;) {
    bool rotate = false;
    uint64_t cut = 0;
    {
      UniqueLock lock(state.frameMutex);
      const auto cutPending = [&] {
        state.frameMutex.AssertHeld();
        return state.cutRequested != state.cutTaken;
      };
      if (cutPending()) {
        // A cut waits for the first frame at or after its instant (frames
        // before it still belong to the segment it ends), or for its grace.
        const int64_t aheadTicks = state.cutTicks - TickClock::Now();
        const auto deadline = SteadyClock::now() + std::chrono::microseconds(aheadTicks / 10) + CutGrace(state);
        state.frameCv.wait_until(lock, deadline,
                                 [&] { return state.framePending.load() || state.stopRequested.load(); });
      } else {
        state.frameCv.wait(lock, [&] {
          state.frameMutex.AssertHeld();
          return state.framePending.load() || !state.rotationRequests.empty() || cutPending() ||
                 state.stopRequested.load();
        });
      }
      if (state.stopRequested.load()) break;
      if (cutPending()) {
        const bool frameBeforeCut = state.framePending.load() && state.frameTicks.load() < state.cutTicks;
        if (!frameBeforeCut) {
          // The cut also serves a periodic rotation that is due.
          cut = state.cutRequested;
          state.cutTaken = cut;
          rotate = true;
          state.rotationRequests.clear();
        }
      } else if (!state.rotationRequests.empty()) {
        rotate = true;
        state.rotationRequests.pop_front();
      }
    }
    if (cut != 0) {
      rotationWaiting = false;  // the cut's rotation serves it
    } else if (rotate || rotationWaiting) {
      const bool spareComing = SpareComing(state);
      if (!rotationWaiting) {
        rotationWaitingSince = SteadyClock::now();
        if (!spareComing && !SpareReady(state)) RequestSpare(state);
      }
      const auto waited = SteadyClock::now() - rotationWaitingSince;
      rotate = !state.encoder || SpareReady(state) || waited >= kSpareWaitLimit ||
               (!spareComing && waited >= kSegmentInterval);
      rotationWaiting = !rotate;
    }
    // A cut whose rotation failed is over: nothing new reaches the ring.
    bool cutQueued = false;
    if (rotate) errors.EndSegment();
    try {
      if (rotate) {
        Rotate(state, cut);
        cutQueued = true;
        if (cut != 0) RequestSpare(state);
      }
      EncodePendingFrame(state);
    } catch (const HresultError& error) {
      if (cut != 0 && !cutQueued) SignalCutDone(state, cut);
      errors.Report(L"Encoder thread error: 0x" + Hex32(error.code()));
    } catch (const std::exception& error) {
      if (cut != 0 && !cutQueued) SignalCutDone(state, cut);
      // FFmpeg failures while building an encoder synchronously: the current
      // segment simply grows until the next rotation succeeds.
      errors.Report(L"Encoder thread error: " + Widen(error.what()));
    }
  }
  errors.EndSegment();
}

void RunBackoffThread(RotationState& state) {
  BackoffCounters counters{state.writeCalls, state.writeFailures, state.backoffTier};
  auto log = [&state](const std::wstring& line) { SessionLog(state, line); };
  // Rotations are due on a fixed 2 s timeline, so the time spent below
  // waiting for a rotation to be picked up comes out of the next interval
  // instead of lengthening every segment.
  SteadyClock::time_point due = SteadyClock::now();
  for (;;) {
    if (state.stopRequested.load()) return;
    uint32_t cap = BackoffTick(counters, state.fps, log);
    // A timeline the encoder thread fell a whole interval behind (stalled)
    // starts again from now: that segment runs long, none is cut short.
    due = std::max(due + kSegmentInterval, SteadyClock::now());
    if (!SleepUnlessStopped(state, due - kSegmentInterval + kSpareRequestDelay - SteadyClock::now())) return;
    {
      LockGuard lock(state.spareRequestMutex);
      if (!state.spareBuilding) {
        state.spareRequested = true;
        state.spareRequestedCap = cap;
        state.spareCv.notify_one();
      }
    }
    if (!SleepUnlessStopped(state, due - SteadyClock::now())) return;
    {
      LockGuard lock(state.frameMutex);
      state.rotationRequests.push_back(true);
    }
    state.frameCv.notify_one();
    // The next cycle's spare request waits until the encoder thread has
    // taken this rotation: a spare built before that would replace the one
    // the rotation is about to use, and the rotation after would find none.
    for (auto waited = std::chrono::milliseconds(0); waited < kRotationPickupWait;
         waited += std::chrono::milliseconds(1)) {
      {
        LockGuard lock(state.frameMutex);
        if (state.rotationRequests.empty()) break;
      }
      if (!SleepUnlessStopped(state, std::chrono::milliseconds(1))) return;
    }
  }
}

void RunSpareBuilderThread(RotationState& state) {
  ApartmentMembership apartment;
  for (;;) {
    uint32_t cap = 0;
    {
      UniqueLock lock(state.spareRequestMutex);
      state.spareCv.wait(lock, [&] {
        state.spareRequestMutex.AssertHeld();
        return state.spareRequested || state.stopRequested.load();
      });
      if (state.stopRequested.load() && !state.spareRequested) return;
      state.spareRequested = false;
      state.spareBuilding = true;
      cap = state.spareRequestedCap;
    }
    bool spareStillGood = false;
    {
      // A spare built after a save's cut for the same cap is still good: a
      // new one would only churn an encoder's worth of memory.
      LockGuard lock(state.spareMutex);
      spareStillGood = state.spareEncoder && state.spareFpsCap == cap;
    }
    if (spareStillGood) {
      {
        LockGuard lock(state.spareRequestMutex);
        state.spareBuilding = false;
      }
      if (state.stopRequested.load()) return;
      continue;
    }
    const SteadyClock::time_point t0 = SteadyClock::now();
    try {
      std::unique_ptr<IVideoSegmentEncoder> built = BuildEncoder(state);
      std::unique_ptr<IVideoSegmentEncoder> unused;
      {
        LockGuard lock(state.spareMutex);
        unused = std::move(state.spareEncoder);  // destroyed outside the lock
        state.spareEncoder = std::move(built);
        state.spareFpsCap = cap;
      }
    } catch (const HresultError& error) {
      SessionLog(state, L"[DIAG-SPARE-BUILD-FAIL] 0x" + Hex32(error.code()));
    } catch (const std::exception& error) {
      SessionLog(state, L"[DIAG-SPARE-BUILD-FAIL] " + Widen(error.what()));
    }
    double elapsed = MillisecondsSince(t0, SteadyClock::now());
    if (elapsed > 500.0) SessionLog(state, L"[DIAG-SPARE-BUILD-SLOW] " + Fixed6(elapsed) + L"ms");
    {
      LockGuard lock(state.spareRequestMutex);
      state.spareBuilding = false;
    }
    if (state.stopRequested.load()) return;
  }
}

void RunFinalizeThread(RotationState& state) {
  ApartmentMembership apartment;
  for (;;) {
    std::unique_ptr<IVideoSegmentEncoder> retired;
    uint64_t cut = 0;
    {
      UniqueLock lock(state.finalizeMutex);
      state.finalizeCv.wait(lock, [&] {
        state.finalizeMutex.AssertHeld();
        return !state.finalizeQueue.empty() || state.stopRequested.load();
      });
      if (state.finalizeQueue.empty()) return;
      retired = std::move(state.finalizeQueue.front().encoder);
      cut = state.finalizeQueue.front().cut;
      state.finalizeQueue.pop_front();
    }
    FinalizeRetired(state, std::move(retired), cut);
    // The retired encoder's contexts and buffers are freed by now.
    state.heapRelease.Request();
  }
}

}  // namespace ostrel
