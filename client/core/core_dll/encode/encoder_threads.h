// The workers that move frames into segment encoders and cut the video into
// 2-second segments: encoder, backoff, spare builder and finalize threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "encode/frame_handoff.h"
#include "encode/video_segment_encoder.h"
#include "platform/platform.h"
#include "encode/heap_release.h"
#include "replay/record_ring.h"
#include "replay/replay_window.h"

namespace ostrel {

// What the encoder threads work on: the hand-off they take frames from, the
// running and spare encoders, the rotations and save cuts, and the video
// ring the finished segments go into.
struct RotationState : virtual FrameHandoff {
  // Encoder-thread counters and pacing.
  std::atomic<uint64_t> writeCalls{0};
  std::atomic<uint64_t> writeFailures{0};
  std::atomic<int32_t> backoffTier{0};
  std::atomic<uint32_t> segmentFpsCap{0};
  SteadyClock::time_point lastEncodeTime{};
  // Encoder thread only: the stamp of the last frame written in this capture
  // (INT64_MIN before the first); the next segment continues after it.
  int64_t lastWrittenTicks = INT64_MIN;
  // Encoder thread only: a new picture was skipped, so the next repeat
  // writes the latest picture instead of repeating the encoder's.
  bool encoderMissedPicture = false;

  std::deque<bool> rotationRequests GUARDED_BY(frameMutex);
  // A save's cut: the running segment ends at the save's request instant.
  // The save raises cutRequested (with cutTicks) under frameMutex; the
  // encoder thread takes it (cutTaken) once every frame stamped before the
  // instant is in the segment, and the finalize thread raises cutDone (under
  // cutMutex) when that segment is in the ring.
  uint64_t cutRequested GUARDED_BY(frameMutex) = 0;
  uint64_t cutTaken GUARDED_BY(frameMutex) = 0;
  int64_t cutTicks GUARDED_BY(frameMutex) = 0;
  Mutex cutMutex;
  std::condition_variable cutCv;
  uint64_t cutDone GUARDED_BY(cutMutex) = 0;

  std::unique_ptr<IVideoSegmentEncoder> encoder;
  SegmentRing videoRing;
  ReplayWindow replayWindow{60.0};

  Mutex spareMutex;
  std::unique_ptr<IVideoSegmentEncoder> spareEncoder GUARDED_BY(spareMutex);
  uint32_t spareFpsCap GUARDED_BY(spareMutex) = 0;

  Mutex spareRequestMutex;
  std::condition_variable spareCv;
  bool spareRequested GUARDED_BY(spareRequestMutex) = false;
  uint32_t spareRequestedCap GUARDED_BY(spareRequestMutex) = 0;
  bool spareBuilding GUARDED_BY(spareRequestMutex) = false;

  Mutex finalizeMutex;
  std::condition_variable finalizeCv;
  struct RetiredEncoder {
    std::unique_ptr<IVideoSegmentEncoder> encoder;
    uint64_t cut = 0;  // the save cut it ends, 0 for a periodic rotation
  };
  std::deque<RetiredEncoder> finalizeQueue GUARDED_BY(finalizeMutex);

  // Returns the heap's free memory after a retired encoder, a save and a
  // stop (see encode/heap_release.h). The interval only merges requests that
  // come together (a save's cut and its end, a cut and a rotation): a longer
  // one would skip the release after a retired encoder, and its 24 MB would
  // stay resident until the next.
  HeapRelease heapRelease{[] { platform::GetPlatform().system.ReleaseFreeHeapMemory(); },
                          std::chrono::milliseconds(250)};
};

void RunEncoderThread(RotationState& state);
void RunBackoffThread(RotationState& state);
void RunSpareBuilderThread(RotationState& state);
void RunFinalizeThread(RotationState& state);

// Marks save cut `cut` as done (its segment is in the ring, or there was
// none to end) and wakes the waiting save.
void SignalCutDone(RotationState& state, uint64_t cut);

// The segment length: one rotation per interval.
constexpr std::chrono::milliseconds kSegmentInterval{2000};
// How long the backoff thread waits for the encoder thread to take a rotation
// before asking for the next spare anyway.
constexpr std::chrono::milliseconds kRotationPickupWait{500};

}  // namespace ostrel
