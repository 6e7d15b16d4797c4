// What the recording's workers share below the session: the stop signal and
// the session's log (WorkerSignals), and the frame hand-off from the capture
// callbacks and the pacer to the encoder thread (FrameHandoff). The session's
// state is built from these and from each subsystem's own part
// (CaptureState in capture/, RotationState in encode/), as virtual bases so
// that the shared parts exist once; a subsystem's functions take their part
// only and never see the rest of the session.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "encode/gpu_encode_context.h"
#include "log/log.h"
#include "platform/gpu.h"
#include "sync/mutex.h"

namespace ostrel {

using SteadyClock = std::chrono::steady_clock;

// The longest side H.264 encoders commonly accept (hardware encoders stop at
// 4096), and the largest frame area (4096x2304 in 16x16 blocks: level 5.1's
// frame size, Quick Sync's limit and what hardware decoders play); a larger
// target is encoded scaled down to fit both.
constexpr uint32_t kMaxEncodedSide = 4096;
constexpr uint64_t kMaxEncodedMacroblocks = 36864;

// Stopping the workers, and the session's log.
struct WorkerSignals {
  std::atomic<bool> stopRequested{true};
  // Wakes timed waits of the workers when stopRequested is set.
  Mutex stopWakeMutex;
  std::condition_variable stopWakeCv;

  Mutex logMutex;
  LogSink logSink GUARDED_BY(logMutex);
};

// The session's Log: one line to its sink under logMutex.
inline void SessionLog(WorkerSignals& signals, const std::wstring& line) {
  LockGuard lock(signals.logMutex);
  if (signals.logSink) signals.logSink(line);
}

// A copy of the session's sink for components that log on their own.
inline LogSink SessionSinkCopy(WorkerSignals& signals) {
  LockGuard lock(signals.logMutex);
  return signals.logSink;
}

// Sleeps up to `duration`; returns early (false) once stopRequested is set.
template <typename Duration>
bool SleepUnlessStopped(WorkerSignals& signals, Duration duration) {
  UniqueLock lock(signals.stopWakeMutex);
  return !signals.stopWakeCv.wait_for(lock, duration, [&] { return signals.stopRequested.load(); });
}

// The recorded picture's way from the capture callback to the encoder
// thread, and the sizes and rate both sides work at.
struct FrameHandoff : virtual WorkerSignals {
  uint32_t captureWidth = 0, captureHeight = 0;
  uint32_t outputWidth = 0, outputHeight = 0;
  uint32_t fps = 30;
  uint32_t bitrate = 6000000;

  // Guards the hand-off's indices and flags below; frameCv wakes the encoder
  // thread for a frame, a rotation or a cut.
  Mutex frameMutex;
  std::condition_variable frameCv;

  // The device context both sides use: the callback's copy and the
  // encoder's conversion take its ContextMutex for the context calls.
  std::unique_ptr<GpuEncodeContext> gpuEncodeContext;

  // The captured picture, triple-buffered: the capture callback copies into
  // a texture that is neither being read by the encoder thread nor the latest
  // hand-off, so a frame's content and its time stamp always travel together
  // and the copy needs no frameMutex. The indices are guarded by frameMutex.
  std::array<std::shared_ptr<platform::ITexture>, 3> frameTextures;
  int latestFrameTexture GUARDED_BY(frameMutex) = 0;    // content of the frame handed off last
  int frameTextureInUse GUARDED_BY(frameMutex) = -1;    // what the encoder thread is reading, or -1
  int frameTextureWriting GUARDED_BY(frameMutex) = -1;  // what a capture callback is copying into, or -1
  // The source region each frame texture holds when it holds less than its
  // whole size (the rest is black); width 0: a full-size copy. Written only
  // by the callback that holds the texture as frameTextureWriting.
  std::array<platform::TextureRegion, 3> frameTextureRegion{};
  // A target above the encoded size limit, on a context that converts
  // regions: the frame textures are NV12 at the output size and the capture
  // copy converts and scales into them, so nothing keeps the target at its
  // full size past the frame pool and the encoder only copies. Otherwise
  // they are BGRA at the capture size. Set by Start.
  bool convertAtCopy = false;

  // Frame hand-off slot: capture callback and pacer produce, encoder thread
  // consumes.
  std::atomic<bool> framePending{false};
  // The pending frame, or one it replaced, shows a new picture (false: only
  // pacer repeats of the one the encoder has). Guarded by frameMutex.
  bool pendingNewContent GUARDED_BY(frameMutex) = false;
  std::atomic<int64_t> frameTicks{0};
  std::atomic<bool> haveFrame{false};
  std::atomic<uint64_t> framesDelivered{0};
  std::atomic<uint64_t> framesOverwritten{0};

};

}  // namespace ostrel
