#include "ostrel_session.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <system_error>

#include "audio/audio_capture.h"
#include "capture/adapter_selection.h"
#include "capture/capture_source.h"
#include "capture/frame_arrival.h"
#include "encode/encoder_selection.h"
#include "encode/encoder_threads.h"
#include "platform/library_apartment.h"
#include "recording/live_mix.h"
#include "recording/recording_telemetry.h"
#include "replay/tick_clock.h"
#include "save/clip_save.h"
#include "watchdog/watchdog.h"

namespace ostrel {

using platform::GetPlatform;

void RequestStop(SessionState& state) {
  {
    LockGuard lock(state.stopWakeMutex);
    state.stopRequested.store(true);
  }
  state.stopWakeCv.notify_all();
  {
    LockGuard lock(state.cutMutex);  // a save waiting for its cut gives up
  }
  state.cutCv.notify_all();
}

namespace {

// How often the running mix takes the new audio and encodes it.
constexpr std::chrono::milliseconds kLiveMixPeriod{250};

// Waits for the running mix's next turn: its period, or a save asking for it
// sooner. False once the capture stops.
bool AwaitLiveMixTurn(SessionState& s) {
  UniqueLock lock(s.stopWakeMutex);
  s.stopWakeCv.wait_for(lock, kLiveMixPeriod, [&] {
    s.stopWakeMutex.AssertHeld();
    return s.stopRequested.load() || s.liveMixWanted;
  });
  s.liveMixWanted = false;
  return !s.stopRequested.load();
}

void WakeLiveMix(SessionState& s) {
  {
    LockGuard lock(s.stopWakeMutex);
    s.liveMixWanted = true;
  }
  s.stopWakeCv.notify_all();
}

// How long a save waits for its cut before it saves what the rings hold.
constexpr std::chrono::seconds kVideoCutWait{3};
constexpr std::chrono::milliseconds kAudioCutWait{500};

// Ends the running segment and both audio chunks at `requestTicks`, and
// returns once the segment is in the ring and the audio handed over (or
// their waits ran out). Capture goes on throughout.
void CutAtRequest(SessionState& s, int64_t requestTicks) {
  uint64_t cut = 0;
  {
    LockGuard lock(s.frameMutex);
    if (s.stopRequested.load()) return;
    cut = ++s.cutRequested;
    s.cutTicks = requestTicks;
  }
  s.frameCv.notify_one();
  const uint64_t desktopCut = s.desktopRing.RequestCut(requestTicks);
  const uint64_t micCut = s.micRing.RequestCut(requestTicks);
  const auto start = SteadyClock::now();
  {
    UniqueLock lock(s.cutMutex);
    s.cutCv.wait_until(lock, start + kVideoCutWait,
                       [&] {
                         s.cutMutex.AssertHeld();
                         return s.cutDone >= cut || s.stopRequested.load();
                       });
  }
  if (desktopCut != 0) s.desktopRing.WaitCut(desktopCut, start + kAudioCutWait);
  if (micCut != 0) s.micRing.WaitCut(micCut, start + kAudioCutWait);
}

// Frees the encoders and their context on the calling thread.
void ReleaseEncodersHere(SessionState& s) {
  s.encoder.reset();
  {
    LockGuard spareLock(s.spareMutex);
    s.spareEncoder.reset();
    s.spareFpsCap = 0;
  }
  {
    LockGuard finalizeLock(s.finalizeMutex);
    s.finalizeQueue.clear();
  }
  s.gpuEncodeContext.reset();
}

// Frees the session's encoders, then the context they encode on, on a
// library thread: FFmpeg's Media Foundation encoder leaves the apartment and
// shuts Media Foundation down on the thread that frees it, and that must
// never be the host's.
void ReleaseEncoders(SessionState& s) {
  try {
    // Declared first so that, should this throw, the unwinding frees the
    // encoders before the context they use.
    std::unique_ptr<GpuEncodeContext> context;
    std::unique_ptr<IVideoSegmentEncoder> encoder = std::move(s.encoder);
    std::unique_ptr<IVideoSegmentEncoder> spare;
    {
      LockGuard spareLock(s.spareMutex);
      spare = std::move(s.spareEncoder);
      s.spareFpsCap = 0;
    }
    std::deque<SessionState::RetiredEncoder> retired;
    {
      LockGuard finalizeLock(s.finalizeMutex);
      retired.swap(s.finalizeQueue);
    }
    context = std::move(s.gpuEncodeContext);
    if (!encoder && !spare && retired.empty() && !context) return;
    RunOnLibraryThread([&] {
      encoder.reset();
      spare.reset();
      retired.clear();
      context.reset();
    });
  } catch (const std::exception&) {
    // No thread to be had, or no memory to hand them over: what the unwinding
    // has not freed yet is freed here rather than kept, so a stop always
    // completes.
    ReleaseEncodersHere(s);
  }
}

}  // namespace

OstrelSession::OstrelSession() : state_(std::make_unique<SessionState>()) {}

OstrelSession::~OstrelSession() {
  {
    LockGuard lock(lifecycleMutex_);
    ++hostEpoch_;  // cancels a pending restart
  }
  epochCv_.notify_all();
  {
    UniqueLock lock(restartMutex_);
    restartCv_.wait(lock, [&] {
      restartMutex_.AssertHeld();
      return restartsRunning_ == 0;
    });
  }
  Stop();
  UnsubscribeItemClosedAndWait(*state_);
}

double OstrelSession::GetMeasuredSustainableFps() const {
  uint64_t delivered = state_->framesDelivered.load();
  if (delivered < 30) return 0.0;
  uint64_t overwritten = state_->framesOverwritten.load();
  uint32_t fps = 0;
  {
    LockGuard lock(state_->encoderNameMutex);
    fps = state_->fps;
  }
  // Overwrites and frames left out late both count as lost.
  return static_cast<double>(fps) *
         std::max(0.0, 1.0 - static_cast<double>(overwritten) / static_cast<double>(delivered));
}

bool OstrelSession::GetSaveProgress(int* stage, int* done, int* total) const {
  return state_->saveProgress.Read(stage, done, total);
}

void OstrelSession::SetAudioSettings(AudioSettings settings) {
  LockGuard lock(state_->audioSettingsMutex);
  state_->audioSettings = std::move(settings);
}

void OstrelSession::SetReplayStorage(ReplayStorageSettings settings) {
  LockGuard lock(state_->storageSettingsMutex);
  state_->storageSettings = std::move(settings);
}

void OstrelSession::SetLogSink(LogSink sink) {
  LockGuard lock(state_->logMutex);
  state_->logSink = std::move(sink);
}

void OstrelSession::Log(const std::wstring& line) { SessionLog(*state_, line); }

LogSink OstrelSession::SinkCopy() { return SessionSinkCopy(*state_); }

bool OstrelSession::Start(platform::WindowHandle target, bool captureMonitor, uint32_t maxHeight, uint32_t fps,
                          uint32_t bitrate, uint32_t replaySeconds) {
  LockGuard lock(lifecycleMutex_);
  ++hostEpoch_;
  epochCv_.notify_all();
  return StartLocked(target, captureMonitor, maxHeight, fps, bitrate, replaySeconds);
}

void OstrelSession::Stop() {
  {
    LockGuard lock(lifecycleMutex_);
    ++hostEpoch_;
    StopLocked();
  }
  epochCv_.notify_all();
}

bool OstrelSession::StartLocked(platform::WindowHandle target, bool captureMonitor, uint32_t maxHeight,
                                uint32_t fps, uint32_t bitrate, uint32_t replaySeconds) {
  SessionState& s = *state_;
  if (running_.load()) {
    Log(L"Start() called while already running - ignored.");
    return false;
  }
  if (const std::wstring reason = GetPlatform().capture.UnavailableReason(); !reason.empty()) {
    Log(L"Start() failed: " + reason + L".");
    return false;
  }
  if (target == nullptr || !GetPlatform().capture.IsWindow(target)) {
    Log(L"Start() failed: invalid target window.");
    return false;
  }
  s.requestedMaxHeight = maxHeight;
  s.requestedFps = fps;
  s.requestedBitrate = bitrate;
  s.requestedReplaySeconds = replaySeconds;
  s.captureEpoch = hostEpoch_;  // a restart keeps the epoch of the host's start

  try {
    platform::MonitorHandle monitor = GetPlatform().capture.MonitorFromWindow(target);
    LogSink sink = SinkCopy();
    std::shared_ptr<platform::IGpuAdapter> adapter = FindAdapterForMonitor(monitor, sink);
    s.d3dDevice = CreateCaptureDevice(adapter.get());
    RaiseGpuThreadPriority(*s.d3dDevice, [this](const std::wstring& line) { Log(line); });
    s.winrtDevice = WrapForCapture(*s.d3dDevice);

    UnsubscribeItemClosedAndWait(s);  // the previous capture's item is replaced here
    // A huge target is read at its encoded size where the source scales and
    // the copy converts regions.
    OpenCaptureSource(s, target, monitor, captureMonitor,
                      ScaledReads{s.d3dDevice->ImmediateContext().ConvertsRegions(), maxHeight});
    if (s.captureWidth == 0 || s.captureHeight == 0) {
      Log(L"Start() failed: zero-size capture item (minimized target?).");
      return false;
    }
    {
      // A save running through a device-loss restart copies these.
      LockGuard settingsLock(s.encoderNameMutex);
      s.convertAtCopy = false;
      if (ComputeOutputSize(s.captureWidth, s.captureHeight, maxHeight, &s.outputWidth, &s.outputHeight)) {
        s.convertAtCopy = s.d3dDevice->ImmediateContext().ConvertsRegions();
        Log(L"[CAPABILITY] " + std::to_wstring(s.captureWidth) + L"x" + std::to_wstring(s.captureHeight) +
            L" target encoded at " + std::to_wstring(s.outputWidth) + L"x" + std::to_wstring(s.outputHeight) +
            L": H.264 encoders take at most " + std::to_wstring(kMaxEncodedSide) +
            L" pixels on the long side and 4096x2304 pixels a frame" +
            (s.scaledAtRead    ? L"; scaled down as each frame is read"
             : s.convertAtCopy ? L"; scaled down as each frame is copied"
                               : L""));
      }
      s.fps = fps == 0 ? 30 : fps;
      s.bitrate = bitrate == 0 ? 6000000 : bitrate;
    }
    s.replayWindow.SetSeconds(replaySeconds == 0 ? 60.0 : static_cast<double>(replaySeconds));
    s.replayWindow.MarkStart();
    s.stopRequested.store(false);

    // The probes, the first encoder and whatever a failed start left behind
    // are opened and freed on a library thread, whatever the caller's
    // apartment.
    ReleaseEncoders(s);
    RunOnLibraryThread([&s, &sink] {
      s.gpuEncodeContext = std::make_unique<GpuEncodeContext>(s.d3dDevice, s.captureWidth, s.captureHeight,
                                                              s.outputWidth, s.outputHeight, sink);
      {
        LockGuard nameLock(s.encoderNameMutex);
        s.encoderName = s.gpuEncodeContext->EncoderName();
      }
      s.encoder = MakeSegmentEncoder(*s.gpuEncodeContext, s.outputWidth, s.outputHeight, s.fps, s.bitrate);
    });

    platform::TextureDesc frameDesc;
    frameDesc.width = s.convertAtCopy ? s.outputWidth : s.captureWidth;
    frameDesc.height = s.convertAtCopy ? s.outputHeight : s.captureHeight;
    frameDesc.format = s.convertAtCopy ? platform::PixelFormat::Nv12 : platform::PixelFormat::Bgra8;
    for (auto& texture : s.frameTextures) {
      std::shared_ptr<platform::ITexture> created;
      Check(s.d3dDevice->CreateTexture(frameDesc, &created));
      texture = std::move(created);
    }

    s.framePending.store(false);
    s.haveFrame.store(false);
    {
      LockGuard frameLock(s.frameMutex);
      s.pendingNewContent = false;
    }
    s.framesDelivered.store(0);
    s.framesOverwritten.store(0);
    s.writeCalls.store(0);
    s.writeFailures.store(0);
    s.backoffTier.store(0);
    s.segmentFpsCap.store(0);
    s.lastEncodeTime = SteadyClock::time_point{};
    s.lastWrittenTicks = INT64_MIN;
    s.encoderMissedPicture = false;
    {
      LockGuard frameLock(s.frameMutex);
      s.rotationRequests.clear();
      s.cutTaken = s.cutRequested;  // a cut of the previous capture is over
      s.latestFrameTexture = 0;
      s.frameTextureInUse = -1;
      s.frameTextureWriting = -1;
      s.frameTextureRegion = {};
    }

    ConfigureCaptureSession(s);
    SubscribeItemClosed(s);
    s.rateGate.Reset(TickClock::Now(), s.fps);
    SubscribeFrameArrived(s);
    Check(s.captureSession->StartCapture());
  } catch (const HresultError& error) {
    UnsubscribeFrameArrivedAndWait(s);
    CloseCaptureSource(s);
    Log(L"Start() failed: 0x" + Hex32(error.code()) + L" (" + error.message() + L")");
    RequestStop(s);
    ReleaseEncoders(s);
    return false;
  } catch (const std::exception& error) {
    // FFmpeg-side failures (no encoder opens, the muxer refuses) end the start
    // the same way, with their own text.
    UnsubscribeFrameArrivedAndWait(s);
    CloseCaptureSource(s);
    Log(L"Start() failed: " + Widen(error.what()));
    RequestStop(s);
    ReleaseEncoders(s);
    return false;
  }

  try {
    ReplayStorageSettings storage;
    {
      LockGuard storageLock(s.storageSettingsMutex);
      storage = s.storageSettings;
    }
    // A host that bounds the replay's memory gets the heap's slack bounded
    // too: glibc would otherwise keep freed encoder and segment buffers.
    if (storage.memoryLimitMB > 0) GetPlatform().system.ReturnLargeBlocksOnFree();
    s.replayStorage.Start(storage, s.replayWindow.Seconds(), GetPlatform().files, SinkCopy());
    StartWorkers(target, captureMonitor);
  } catch (const std::exception& error) {
    // A thread that cannot be created: the ones already running are ended.
    RequestStop(s);
    s.frameCv.notify_all();
    s.finalizeCv.notify_all();
    s.spareCv.notify_all();
    JoinWorkers();
    s.replayStorage.Stop();
    UnsubscribeFrameArrivedAndWait(s);
    CloseCaptureSource(s);
    ReleaseEncoders(s);
    Log(L"Start() failed: " + Widen(error.what()));
    return false;
  }
  running_.store(true);
  Log(L"Capture started.");
  return true;
}

void OstrelSession::StartWorkers(platform::WindowHandle target, bool captureMonitor) {
  SessionState& s = *state_;
  LogSink sessionLog = [this](const std::wstring& line) { Log(line); };
  s.telemetryThread = std::thread([&s, sessionLog] {
    RunRecordingTelemetry(s.stopRequested, s.videoRing, s.desktopRing, s.micRing, sessionLog);
  });
  s.pacerThread = std::thread([&s] { RunPacer(s); });
  s.spareBuilderThread = std::thread([&s] { RunSpareBuilderThread(s); });
  s.backoffThread = std::thread([&s] { RunBackoffThread(s); });
  s.finalizeThread = std::thread([&s] { RunFinalizeThread(s); });
  s.encoderThread = std::thread([&s] { RunEncoderThread(s); });

  LogSink sink = SinkCopy();
  AudioSettings settings;
  {
    LockGuard lock(s.audioSettingsMutex);
    settings = s.audioSettings;
  }
  s.desktopAudioOn.store(!settings.desktopMuted);
  s.micAudioOn.store(!settings.micMuted);
  if (!settings.desktopMuted) {
    s.desktopAudioThread = std::thread([&s, sink, id = settings.desktopDeviceId] {
      RunAudioCapture(platform::DataFlow::Render, s.desktopRing, s.replayWindow, s.stopRequested,
                      L"desktop-audio", sink, id);
    });
  }
  if (!settings.micMuted) {
    s.micAudioThread = std::thread([&s, sink, id = settings.micDeviceId] {
      RunAudioCapture(platform::DataFlow::Capture, s.micRing, s.replayWindow, s.stopRequested, L"mic-audio",
                      sink, id);
    });
  }
  auto liveMix = std::make_shared<LiveAacMix>(
      s.desktopRing, s.micRing, s.replayWindow,
      [&s] {
        LockGuard lock(s.audioSettingsMutex);
        return s.audioSettings;
      },
      s.replayWindow.FloorTicks(),
      std::array<EncodedAudioRing*, 3>{&s.encodedAudioRings[0], &s.encodedAudioRings[1], &s.encodedAudioRings[2]});
  {
    LockGuard lock(s.liveMixMutex);
    s.liveMix = liveMix;
  }
  s.liveMixThread = std::thread([&s, liveMix] {
    while (AwaitLiveMixTurn(s)) liveMix->Advance(TickClock::Now());
  });
  s.watchdogThread = std::thread([this, &s, target, captureMonitor] {
    const WatchdogHooks hooks{
        [&s] { return s.d3dDevice ? s.d3dDevice->GetDeviceRemovedReason() : hr::kOk; },
        [this, &s, target, captureMonitor] {
          RequestStop(s);
          // The host's replay length is kept (not the 60-second default).
          BeginRestartAfterDeviceLoss({target, captureMonitor, s.requestedMaxHeight, s.requestedFps,
                                       s.requestedBitrate, s.requestedReplaySeconds, s.captureEpoch});
        }};
    RunWatchdog(s, hooks);
  });
}

void OstrelSession::JoinWorkers() {
  SessionState& s = *state_;
  for (std::thread* worker : {&s.watchdogThread, &s.telemetryThread, &s.backoffThread, &s.spareBuilderThread,
                              &s.pacerThread, &s.encoderThread, &s.finalizeThread, &s.desktopAudioThread,
                              &s.micAudioThread, &s.liveMixThread}) {
    if (worker->joinable()) worker->join();
  }
  LockGuard lock(s.liveMixMutex);
  s.liveMix.reset();
}

void OstrelSession::StopLocked() {
  SessionState& s = *state_;
  if (!running_.load()) return;
  RequestStop(s);
  {
    // Taking each mutex before notifying closes the window between a
    // waiter's predicate check and its wait.
    LockGuard frameLock(s.frameMutex);
  }
  s.frameCv.notify_all();
  {
    LockGuard finalizeLock(s.finalizeMutex);
  }
  s.finalizeCv.notify_all();
  {
    LockGuard spareLock(s.spareRequestMutex);
  }
  s.spareCv.notify_all();
  JoinWorkers();

  UnsubscribeFrameArrivedAndWait(s);
  CloseCaptureSource(s);
  ReleaseEncoders(s);
  {
    LockGuard spareRequestLock(s.spareRequestMutex);
    s.spareRequested = false;
    s.spareBuilding = false;
  }
  // A save waiting for time after its request keeps what it needs first.
  s.clipRequests.waits.HoldBeforeClear(ClipRings{s.videoRing, s.desktopRing, s.micRing, s.clipRequests.markers});
  // The producers are gone: the writer ends, then the rings let go of the
  // spill files with their records.
  s.replayStorage.Stop();
  s.videoRing.Clear();
  s.desktopRing.Clear();
  s.micRing.Clear();
  for (EncodedAudioRing& ring : s.encodedAudioRings) ring.Clear();
  s.clipRequests.markers.Clear();
  // A stopped recorder keeps none of the recording's memory.
  s.heapRelease.Request(HeapRelease::Clock::now(), true);
  const HeapRelease::Stats released = s.heapRelease.GetStats();
  running_.store(false);
  // Only lines from here: without memory for them the stop is complete all
  // the same.
  try {
    LogF(SinkCopy(), L"[DIAG-MEM-RELEASE] requests=%llu releases=%llu total=%lsms max=%lsms",
         static_cast<unsigned long long>(released.requests), static_cast<unsigned long long>(released.releases),
         Fixed6(released.totalMs).c_str(), Fixed6(released.maxMs).c_str());
    Log(L"Capture stopped.");
  } catch (const std::bad_alloc&) {
  }
}

bool OstrelSession::SaveClipNow(const std::wstring& outputDir, std::wstring& outPath) {
  return SaveClip(0, TickClock::Now(), outputDir, outPath) == SaveOutcome::kSaved;
}

SaveOutcome OstrelSession::SaveClip(int seconds, int64_t requestTicks, const std::wstring& outputDir,
                                    std::wstring& outPath) {
  ClipRequest request;
  request.seconds = seconds;
  return SaveClip(request, requestTicks, outputDir, outPath);
}

bool OstrelSession::AddMarker(int64_t ticks, std::wstring label) {
  SessionState& s = *state_;
  return s.clipRequests.markers.Add(Marker{ticks, std::move(label)}, s.replayWindow.CutoffAt(ticks));
}

SaveOutcome OstrelSession::SaveClip(const ClipRequest& request, int64_t requestTicks, const std::wstring& outputDir,
                                    std::wstring& outPath) {
  SessionState& s = *state_;
  // The span is fixed at the request: its start from the floors of that
  // moment (a restart during the wait must not move it), its end after the
  // time asked for.
  const int64_t discardFloor = s.clipRequests.discardFloorTicks.load();
  TickSpan span = s.replayWindow.SpanEndingAt(requestTicks, request.seconds);
  span.startTicks = std::max(span.startTicks, discardFloor);
  span.endTicks = requestTicks + int64_t{request.secondsAfter} * TickClock::kTicksPerSecond;
  ClipHold hold;
  hold.startTicks = span.startTicks;
  bool ringsCleared = false;
  // The running mix keeps the clip's packets through the wait.
  std::shared_ptr<LiveAacMix> keptMix;
  if (request.secondsAfter > 0) {
    LockGuard lock(s.liveMixMutex);
    keptMix = s.liveMix;
  }
  struct KeepRelease {
    std::shared_ptr<LiveAacMix>& mix;
    ~KeepRelease() {
      if (mix) mix->KeepFrom(std::nullopt);
    }
  } keepRelease{keptMix};
  if (keptMix) keptMix->KeepFrom(span.startTicks);
  if (request.secondsAfter > 0 && running_.load()) {
    Log(L"SaveClip: recording " + std::to_wstring(request.secondsAfter) + L" s after the request at t=" +
        TickSeconds(requestTicks) + L".");
    const ClipRings rings{s.videoRing, s.desktopRing, s.micRing, s.clipRequests.markers};
    const ClipWaits::Ended ended =
        s.clipRequests.waits.Wait(hold, rings, s.saveProgress, requestTicks, span.endTicks, s.stopRequested);
    s.saveProgress.Set(0, 0, 0);
    if (ended.early) {
      span.endTicks = ended.endTicks;
      Log(L"SaveClip: the wait after the request ended early (capture stopping) - the clip ends at t=" +
          TickSeconds(ended.endTicks) + L".");
    }
    // The capture gone (a restart after a device loss): no cut, and the
    // running mix is not this clip's any more.
    ringsCleared = ended.ringsCleared || s.stopRequested.load();
  }
  // After a restart cleared the rings, the clip is what the wait kept,
  // whether or not the capture runs again by now.
  std::atomic<bool> keptRecording{true};

  std::string encoderName;
  uint32_t outputWidth = 0, outputHeight = 0, fps = 0, bitrate = 0;
  {
    LockGuard lock(s.encoderNameMutex);
    encoderName = s.encoderName;
    outputWidth = s.outputWidth;
    outputHeight = s.outputHeight;
    fps = s.fps;
    bitrate = s.bitrate;
  }
  SaveSources sources{
      ringsCleared ? keptRecording : running_,
      s.videoRing,
      s.desktopRing,
      s.micRing,
      s.replayWindow,
      s.saveProgress,
      [&s] {
        LockGuard lock(s.audioSettingsMutex);
        return s.audioSettings;
      },
      outputWidth,
      outputHeight,
      fps,
      bitrate,
      std::move(encoderName),
      [this](const std::wstring& line) { Log(line); },
      span.endTicks,
      request.seconds,
      [&s](int64_t ticks) {
        WakeLiveMix(s);
        CutAtRequest(s, ticks);
      },
  };
  if (ringsCleared) sources.cutAtRequest = nullptr;
  sources.shape.span = span;
  sources.shape.notBeforeTicks = discardFloor;
  sources.shape.separateTracks = request.separateTracks;
  sources.shape.held = request.secondsAfter > 0 ? &hold : nullptr;
  sources.shape.markers = &s.clipRequests.markers;
  sources.desktopAudioOn = s.desktopAudioOn.load();
  sources.micAudioOn = s.micAudioOn.load();
  std::shared_ptr<LiveAacMix> liveMix;
  {
    LockGuard lock(s.liveMixMutex);
    liveMix = s.liveMix;
  }
  if (liveMix && !ringsCleared) {
    sources.preEncodedAudio = [liveMix](int64_t clipStartTicks, uint64_t frames, float desktopGain, float micGain,
                                        std::optional<SourceTrackGains> trackGains) {
      return liveMix->TakeForClip(clipStartTicks, frames, desktopGain, micGain, TickClock::Now(), trackGains);
    };
  }
  const SaveOutcome saved = ostrel::SaveClip(sources, outputDir, outPath);
  if (saved == SaveOutcome::kSaved && request.discardSaved) {
    // Saves never overlap, so this clip's end is the latest. The next clip
    // starts where this one ends (up to a frame before the request), so that
    // the frame slot it left out is in the next one.
    s.clipRequests.discardFloorTicks.store(std::max(discardFloor, sources.savedEndTicks));
  }
  // The save's mix, packets and muxer are freed by now. Not held back by a
  // release within the interval: that one (the cut's retired encoder) ran
  // before these frees, and a save costs hundreds of times the walk.
  s.heapRelease.Request(HeapRelease::Clock::now(), true);
  return saved;
}

void OstrelSession::BeginRestartAfterDeviceLoss(RestartRequest request) {
  // No lifecycle lock here: a host Stop holding it may be joining the very
  // watchdog that calls this.
  {
    LockGuard lock(restartMutex_);
    ++restartsRunning_;
  }
  // Detached by design: the restart's Stop joins the watchdog that starts
  // it. The session outlives it: its destructor waits for restartsRunning_.
  std::thread([this, request] {
    RunRestart(request);
    LockGuard lock(restartMutex_);
    if (--restartsRunning_ == 0) restartCv_.notify_all();
  }).detach();
}

void OstrelSession::RunRestart(RestartRequest request) {
  const uint64_t epoch = request.epoch;
  const wchar_t* const kCancelled =
      L"Watchdog: automatic capture restart after GPU device loss cancelled - the host started or stopped capture.";
  {
    LockGuard lock(lifecycleMutex_);
    if (hostEpoch_ != epoch) {
      Log(kCancelled);
      return;
    }
    StopLocked();
  }
  bool started = false;
  {
    UniqueLock lock(lifecycleMutex_);
    // The pause between stop and start, cut short if the host takes over.
    if (epochCv_.wait_for(lock, std::chrono::milliseconds(500), [&] {
          lifecycleMutex_.AssertHeld();
          return hostEpoch_ != epoch;
        })) {
      Log(kCancelled);
      return;
    }
    started = StartLocked(request.target, request.captureMonitor, request.maxHeight, request.fps, request.bitrate,
                          request.replaySeconds);
  }
  Log(started ? L"Watchdog: capture automatically recovered after GPU device loss."
              : L"Watchdog: automatic capture restart after GPU device loss failed - manual restart required.");
}

}  // namespace ostrel
