// The one capture session behind the exported interface: its state record,
// Start and Stop, and the accessors the exports use.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "audio/audio_settings.h"
#include "capture/frame_rate_gate.h"
#include "encode/gpu_encode_context.h"
#include "encode/video_segment_encoder.h"
#include "log/log.h"
#include "platform/platform.h"
#include "replay/audio_ring.h"
#include "replay/heap_release.h"
#include "replay/record_ring.h"
#include "replay/replay_storage.h"
#include "replay/replay_window.h"
#include "save/clip_request.h"
#include "save/save_outcome.h"
#include "save/save_progress.h"

namespace ostrel {

using SteadyClock = std::chrono::steady_clock;
class LiveAacMix;

// Everything one recording owns. Workers hold plain references into it; it is
// never reallocated while the session lives.
struct SessionState {
  std::shared_ptr<platform::IGpuDevice> d3dDevice;
  std::shared_ptr<platform::ICaptureDevice> winrtDevice;
  std::shared_ptr<platform::ICaptureItem> captureItem;
  // The capture source that made captureItem; its pool and session come
  // from the same source.
  platform::IWindowCapture* captureService = nullptr;
  std::shared_ptr<platform::IFramePool> framePool;
  std::shared_ptr<platform::ICaptureSession> captureSession;
  platform::EventToken frameArrivedToken = 0;
  bool frameArrivedSubscribed = false;
  platform::EventToken closedToken = 0;
  bool closedSubscribed = false;
  SteadyClock::time_point lastArrival{};
  bool haveLastArrival = false;

  uint32_t captureWidth = 0, captureHeight = 0;
  uint32_t outputWidth = 0, outputHeight = 0;
  uint32_t fps = 30;
  uint32_t bitrate = 6000000;
  uint32_t requestedMaxHeight = 0, requestedFps = 0, requestedBitrate = 0;

  // The captured picture, triple-buffered: the capture callback copies into
  // a texture that is neither being read by the encoder thread nor the latest
  // hand-off, so a frame's content and its time stamp always travel together
  // and the copy needs no frameMutex. The indices are guarded by frameMutex.
  std::array<std::shared_ptr<platform::ITexture>, 3> frameTextures;
  // A target above the encoded size limit, on a context that converts
  // regions: the frame textures are NV12 at the output size and the capture
  // copy converts and scales into them, so nothing keeps the target at its
  // full size past the frame pool and the encoder only copies. Otherwise
  // they are BGRA at the capture size. Set by Start.
  bool convertAtCopy = false;
  int latestFrameTexture = 0;    // content of the frame handed off last
  int frameTextureInUse = -1;    // what the encoder thread is reading, or -1
  int frameTextureWriting = -1;  // what a capture callback is copying into, or -1
  // The source region each frame texture holds when it holds less than its
  // whole size (the rest is black); width 0: a full-size copy. Written only
  // by the callback that holds the texture as frameTextureWriting.
  std::array<platform::TextureRegion, 3> frameTextureRegion{};

  // The content size the frame pool's buffers were made for; the frame
  // handler recreates the pool when a frame's content size differs.
  std::mutex poolSizeMutex;
  platform::SizeInt32 poolSize;

  // Frame hand-off slot: capture callback and pacer produce, encoder thread
  // consumes.
  std::atomic<bool> framePending{false};
  // The pending frame, or one it replaced, shows a new picture (false: only
  // pacer repeats of the one the encoder has). Guarded by frameMutex.
  bool pendingNewContent = false;
  std::atomic<int64_t> frameTicks{0};
  FrameRateGate rateGate;  // which source frames are taken; which slots the pacer fills
  std::atomic<bool> haveFrame{false};
  std::atomic<uint64_t> framesDelivered{0};
  std::atomic<uint64_t> framesOverwritten{0};

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

  std::mutex frameMutex;
  std::condition_variable frameCv;
  std::deque<bool> rotationRequests;  // guarded by frameMutex
  // A save's cut: the running segment ends at the save's request instant.
  // The save raises cutRequested (with cutTicks) under frameMutex; the
  // encoder thread takes it (cutTaken) once every frame stamped before the
  // instant is in the segment, and the finalize thread raises cutDone (under
  // cutMutex) when that segment is in the ring.
  uint64_t cutRequested = 0;  // guarded by frameMutex
  uint64_t cutTaken = 0;      // guarded by frameMutex
  int64_t cutTicks = 0;       // guarded by frameMutex
  std::mutex cutMutex;
  std::condition_variable cutCv;
  uint64_t cutDone = 0;  // guarded by cutMutex
  std::thread encoderThread;

  std::unique_ptr<GpuEncodeContext> gpuEncodeContext;
  std::unique_ptr<IVideoSegmentEncoder> encoder;
  SegmentRing videoRing;

  std::mutex spareMutex;
  std::unique_ptr<IVideoSegmentEncoder> spareEncoder;
  uint32_t spareFpsCap = 0;

  std::mutex spareRequestMutex;
  std::condition_variable spareCv;
  bool spareRequested = false;
  uint32_t spareRequestedCap = 0;
  bool spareBuilding = false;
  std::thread spareBuilderThread;

  std::mutex finalizeMutex;
  std::condition_variable finalizeCv;
  struct RetiredEncoder {
    std::unique_ptr<IVideoSegmentEncoder> encoder;
    uint64_t cut = 0;  // the save cut it ends, 0 for a periodic rotation
  };
  std::deque<RetiredEncoder> finalizeQueue;
  std::thread finalizeThread;

  AudioRing desktopRing;
  AudioRing micRing;
  // Which audio sources this capture records (not muted at its start).
  std::atomic<bool> desktopAudioOn{false};
  std::atomic<bool> micAudioOn{false};
  ReplayWindow replayWindow{60.0};
  // The memory limit and spill folder the host set (guarded by
  // storageSettingsMutex), applied by replayStorage at each start.
  std::mutex storageSettingsMutex;
  ReplayStorageSettings storageSettings;
  ReplayStorage replayStorage{{&videoRing, &desktopRing, &micRing}};

  std::atomic<bool> stopRequested{true};
  // Wakes timed waits of the workers when stopRequested is set.
  std::mutex stopWakeMutex;
  std::condition_variable stopWakeCv;
  uint32_t requestedReplaySeconds = 0;
  // The host epoch this capture was started under (see OstrelSession);
  // written by Start before the watchdog exists.
  uint64_t captureEpoch = 0;

  std::thread pacerThread;
  std::thread backoffThread;
  std::thread desktopAudioThread;
  std::thread micAudioThread;
  std::thread watchdogThread;
  std::thread telemetryThread;
  // The clip audio mixed and encoded while recording (save/live_mix.h): made
  // at each start, dropped at stop; saves share it under liveMixMutex.
  std::mutex liveMixMutex;
  std::shared_ptr<LiveAacMix> liveMix;
  std::thread liveMixThread;

  std::mutex audioSettingsMutex;
  AudioSettings audioSettings;

  std::mutex logMutex;
  LogSink logSink;

  SaveProgress saveProgress;
  // Markers, the discard floor and the saves waiting for time after their
  // request (save/clip_request.h).
  ClipRequestState clipRequests;
  std::atomic<bool> borderEnabled{true};

  // Returns the heap's free memory after a retired encoder, a save and a
  // stop (see replay/heap_release.h). The interval only merges requests that
  // come together (a save's cut and its end, a cut and a rotation): a longer
  // one would skip the release after a retired encoder, and its 24 MB would
  // stay resident until the next.
  HeapRelease heapRelease{[] { platform::GetPlatform().system.ReleaseFreeHeapMemory(); },
                          std::chrono::milliseconds(250)};

  // Frame callbacks currently inside the handler; Stop waits for them before
  // releasing what they use (see capture/frame_arrival.cc).
  std::mutex callbackMutex;
  std::condition_variable callbackCv;
  int callbacksRunning = 0;
  bool acceptCallbacks = false;

  // The encoder name of the running capture, copied for saves so that a
  // restart releasing the encode context never races a save reading it. It
  // also guards the writes of outputWidth, outputHeight, fps and bitrate
  // made by Start, which a save (or a rate query) reads during a restart.
  std::mutex encoderNameMutex;
  std::string encoderName;
};

// The session's Log: one line to its sink under logMutex.
inline void SessionLog(SessionState& state, const std::wstring& line) {
  std::lock_guard lock(state.logMutex);
  if (state.logSink) state.logSink(line);
}

// A copy of the session's sink for components that log on their own.
inline LogSink SessionSinkCopy(SessionState& state) {
  std::lock_guard lock(state.logMutex);
  return state.logSink;
}

// Sleeps up to `duration`; returns early (false) once stopRequested is set.
template <typename Duration>
bool SleepUnlessStopped(SessionState& state, Duration duration) {
  std::unique_lock lock(state.stopWakeMutex);
  return !state.stopWakeCv.wait_for(lock, duration, [&] { return state.stopRequested.load(); });
}

// Sets stopRequested and wakes every waiter, so workers end promptly.
void RequestStop(SessionState& state);

// Marks save cut `cut` as done (its segment is in the ring, or there was
// none to end) and wakes the waiting save.
void SignalCutDone(SessionState& state, uint64_t cut);

class OstrelSession {
 public:
  OstrelSession();
  ~OstrelSession();
  OstrelSession(const OstrelSession&) = delete;
  OstrelSession& operator=(const OstrelSession&) = delete;

  bool Start(platform::WindowHandle target, bool captureMonitor, uint32_t maxHeight, uint32_t fps,
             uint32_t bitrate, uint32_t replaySeconds);
  void Stop();
  bool IsCapturing() const { return running_.load(); }
  double GetMeasuredSustainableFps() const;
  bool GetSaveProgress(int* stage, int* done, int* total) const;
  void SetAudioSettings(AudioSettings settings);
  // The replay's memory limit and spill folder, from the next start.
  void SetReplayStorage(ReplayStorageSettings settings);
  void SetCaptureBorderEnabled(bool enabled) { state_->borderEnabled.store(enabled); }
  void SetLogSink(LogSink sink);
  // Saves the `seconds` before `requestTicks` (0 or more than the replay
  // length: the replay length). Ends the running segment and audio chunks at
  // the request first, so the clip holds everything up to it.
  SaveOutcome SaveClip(int seconds, int64_t requestTicks, const std::wstring& outputDir, std::wstring& outPath);
  // The same shaped by a host's request: time after the request (waited
  // for here, cut short by a stop), separate audio tracks, discard-on-save.
  SaveOutcome SaveClip(const ClipRequest& request, int64_t requestTicks, const std::wstring& outputDir,
                       std::wstring& outPath);
  // Marks `ticks` with `label`; false when the replay holds the most markers.
  bool AddMarker(int64_t ticks, std::wstring label);
  // A host stop or shutdown is about to wait for the save lock: a save
  // waiting for time after its request ends its wait now (until EndHostStop).
  void BeginHostStop() { state_->clipRequests.waits.BeginStop(); }
  void EndHostStop() { state_->clipRequests.waits.EndStop(); }
  bool SaveClipNow(const std::wstring& outputDir, std::wstring& outPath);

  // Writes one line to the session's sink under logMutex.
  void Log(const std::wstring& line);
  // A copy of the sink for components that log on their own.
  LogSink SinkCopy();

  SessionState& State() { return *state_; }

  // The automatic restart after a device loss, on a detached thread that
  // the session outlives. The host's last word wins: a host Start or Stop
  // (or the session's destruction) after the loss cancels what the restart
  // has not done yet.
  struct RestartRequest {
    platform::WindowHandle target;
    bool captureMonitor;
    uint32_t maxHeight, fps, bitrate, replaySeconds;
    uint64_t epoch;  // the host epoch of the capture that lost its device
  };
  void BeginRestartAfterDeviceLoss(RestartRequest request);

 private:
  bool StartLocked(platform::WindowHandle target, bool captureMonitor, uint32_t maxHeight, uint32_t fps,
                   uint32_t bitrate, uint32_t replaySeconds);
  void StopLocked();
  void StartWorkers(platform::WindowHandle target, bool captureMonitor);
  void JoinWorkers();
  void RunRestart(RestartRequest request);

  std::unique_ptr<SessionState> state_;
  std::atomic<bool> running_{false};

  // Serialises Start, Stop and the restart's steps; hostEpoch_ counts host
  // Starts and Stops (and destruction) under it.
  std::mutex lifecycleMutex_;
  uint64_t hostEpoch_ = 0;
  std::condition_variable epochCv_;
  // Restart threads still running; the destructor waits for them.
  std::mutex restartMutex_;
  std::condition_variable restartCv_;
  int restartsRunning_ = 0;
};

// Output size rule: maxHeight 0 or >= capture height keeps the size (odd
// sizes included); otherwise the height is maxHeight rounded down to even and
// the width follows the aspect ratio, rounded, then made even. A long side
// above kMaxEncodedSide is then scaled down to it, the other side following
// the aspect ratio, and a frame of more than kMaxEncodedMacroblocks is
// scaled down to that area, aspect ratio kept: what H.264 encoders commonly
// accept (hardware encoders stop at 4096 on a side; Quick Sync at 4096x2304,
// level 5.1's frame size, which is also what hardware decoders play), and
// what keeps a huge window's buffers and the software encoder's work
// bounded (8000x8000 is encoded at 3072x3072). Returns whether a cap applied.
constexpr uint32_t kMaxEncodedSide = 4096;
constexpr uint64_t kMaxEncodedMacroblocks = 36864;  // 4096x2304 in 16x16 blocks
bool ComputeOutputSize(uint32_t captureWidth, uint32_t captureHeight, uint32_t maxHeight,
                       uint32_t* outputWidth, uint32_t* outputHeight);

}  // namespace ostrel
