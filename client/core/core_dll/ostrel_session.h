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
#include "capture/capture_state.h"
#include "encode/encoder_threads.h"
#include "encode/output_size.h"
#include "log/log.h"
#include "platform/platform.h"
#include "replay/audio_ring.h"
#include "encode/heap_release.h"
#include "replay/record_ring.h"
#include "storage/replay_storage.h"
#include "replay/replay_window.h"
#include "save/clip_request.h"
#include "save/packet_log.h"
#include "save/save_outcome.h"
#include "save/save_progress.h"

namespace ostrel {

class LiveAacMix;

// Everything one recording owns: capture's part, the encoder threads' part
// (each with the frame hand-off and the worker signals they share), and what
// only the session and the saves use. Workers hold plain references into it;
// it is never reallocated while the session lives.
struct SessionState : CaptureState, RotationState {
  uint32_t requestedMaxHeight = 0, requestedFps = 0, requestedBitrate = 0;

  std::thread encoderThread;
  std::thread spareBuilderThread;
  std::thread finalizeThread;

  AudioRing desktopRing;
  AudioRing micRing;
  // Which audio sources this capture records (not muted at its start).
  std::atomic<bool> desktopAudioOn{false};
  std::atomic<bool> micAudioOn{false};
  // The memory limit and spill folder the host set, applied by
  // replayStorage at each start.
  Mutex storageSettingsMutex;
  ReplayStorageSettings storageSettings GUARDED_BY(storageSettingsMutex);
  // The running mix's AAC packets (the mix, the desktop track, the
  // microphone track), within the limit and spilled like the rest.
  std::array<EncodedAudioRing, 3> encodedAudioRings;
  ReplayStorage replayStorage{{&videoRing, &desktopRing, &micRing, &encodedAudioRings[0], &encodedAudioRings[1],
                               &encodedAudioRings[2]}};

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
  // The clip audio mixed and encoded while recording (recording/live_mix.h): made
  // at each start, dropped at stop; saves share it under liveMixMutex.
  Mutex liveMixMutex;
  std::shared_ptr<LiveAacMix> liveMix GUARDED_BY(liveMixMutex);
  std::thread liveMixThread;
  // A save asks the running mix to take the audio at once, not at its next
  // period: the mix then catches up while the save waits for its cut.
  bool liveMixWanted GUARDED_BY(stopWakeMutex) = false;

  Mutex audioSettingsMutex;
  AudioSettings audioSettings GUARDED_BY(audioSettingsMutex);

  SaveProgress saveProgress;
  // Markers, the discard floor and the saves waiting for time after their
  // request (save/clip_request.h).
  ClipRequestState clipRequests;

  // The encoder name of the running capture, copied for saves so that a
  // restart releasing the encode context never races a save reading it. It
  // also guards the writes of outputWidth, outputHeight, fps and bitrate
  // made by Start, which a save (or a rate query) reads during a restart.
  Mutex encoderNameMutex;
  std::string encoderName GUARDED_BY(encoderNameMutex);
};

// Sets stopRequested and wakes every waiter, so workers end promptly.
void RequestStop(SessionState& state);

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
                   uint32_t bitrate, uint32_t replaySeconds) REQUIRES(lifecycleMutex_);
  void StopLocked() REQUIRES(lifecycleMutex_);
  void StartWorkers(platform::WindowHandle target, bool captureMonitor);
  void JoinWorkers();
  void RunRestart(RestartRequest request);

  std::unique_ptr<SessionState> state_;
  std::atomic<bool> running_{false};

  // Serialises Start, Stop and the restart's steps; hostEpoch_ counts host
  // Starts and Stops (and destruction) under it.
  Mutex lifecycleMutex_;
  uint64_t hostEpoch_ GUARDED_BY(lifecycleMutex_) = 0;
  std::condition_variable epochCv_;
  // Restart threads still running; the destructor waits for them.
  Mutex restartMutex_;
  std::condition_variable restartCv_;
  int restartsRunning_ GUARDED_BY(restartMutex_) = 0;
};

}  // namespace ostrel
