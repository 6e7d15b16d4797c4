// The exported functions: argument checks, clamping, result codes, the one
// global session behind sessionLock and saveLock, and the host log callback.
#include <algorithm>
#include <atomic>
#include <cwchar>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "dll_exports.h"

#include "audio/audio_capture.h"
#include "encode/encoder_selection.h"
#include "ffmpeg/ffmpeg_log.h"
#include "log/host_log_queue.h"
#include "ostrel/ostrel.h"
#include "ostrel_session.h"
#include "platform/library_apartment.h"
#include "replay/tick_clock.h"
#include "save/clip_path.h"
#include "sync/mutex.h"
#include "update/update_verifier.h"

namespace ostrel {
namespace {

// A global whose destructor (stop, join, release) is skipped once the
// process is ending under the loader lock; everywhere else it runs as usual,
// so a host on Linux that exits without shutting down still stops cleanly.
std::atomic<bool> g_abandonAtExit{false};

template <typename T>
class AbandonedAtProcessExit {
 public:
  template <typename... Args>
  explicit AbandonedAtProcessExit(Args&&... args) {
    new (storage_) T(std::forward<Args>(args)...);
  }
  ~AbandonedAtProcessExit() {
    if (!g_abandonAtExit.load()) get().~T();
  }
  AbandonedAtProcessExit(const AbandonedAtProcessExit&) = delete;
  AbandonedAtProcessExit& operator=(const AbandonedAtProcessExit&) = delete;
  T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }
  T* operator->() { return &get(); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

// Process-wide state, never duplicated. A save holds g_saveLock for its
// whole length and takes g_sessionLock inside it, never the other way round.
Mutex g_sessionLock;
Mutex g_saveLock;
Mutex g_callbackLock;
AbandonedAtProcessExit<std::unique_ptr<OstrelSession>> g_sessionHolder;
std::unique_ptr<OstrelSession>& g_session GUARDED_BY(g_sessionLock) = g_sessionHolder.get();
bool g_initialized = false;  // host calls initialise/shutdown from one thread
bool g_mediaStarted = false;  // MFStartup succeeded: MFShutdown at shutdown
LogCallback g_callback GUARDED_BY(g_callbackLock) = nullptr;

// Enough for the bursts of a start or a save several times over; a host that
// cannot keep up loses lines (counted), never frames.
constexpr size_t kLogQueueLines = 2048;

void DeliverToHost(const std::wstring& line) {
  LockGuard lock(g_callbackLock);
  if (g_callback) g_callback(line.c_str());
}

// Declared after the callback and its lock: destroyed (drained, joined) first.
AbandonedAtProcessExit<HostLogQueue> g_logQueueHolder(DeliverToHost, kLogQueueLines);
HostLogQueue& g_logQueue = g_logQueueHolder.get();

const char kVersion[] = "0.1.1";

int ClampToZero(int value) { return value > 0 ? value : 0; }

// No display refreshes faster; above it a capture only records repeats.
constexpr int kMaxFps = 240;

}  // namespace

void DispatchLogLine(const std::wstring& line) { g_logQueue.Push(line); }

void AbandonGlobalsAtProcessExit() { g_abandonAtExit.store(true); }

void FlushLogLines() { g_logQueue.Flush(); }

namespace {

// A line for an export that caught what its body threw; itself never throws
// (without memory for the line there is none).
void LogEscaped(const wchar_t* exportName, const wchar_t* what) noexcept {
  try {
    DispatchLogLine(std::wstring(exportName) + L"() failed: " + what);
  } catch (...) {
  }
}

// Runs an export's body so that nothing it throws, std::bad_alloc from the
// log path or a string conversion included, reaches the host: the export
// answers `failure` (its documented failure result) instead.
template <typename Result, typename Body>
Result Guarded(const wchar_t* exportName, Result failure, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    LogEscaped(exportName, L"out of memory");
  } catch (...) {
    LogEscaped(exportName, L"unexpected error");
  }
  return failure;
}

// The same for an export without a result.
template <typename Body>
void Guarded(const wchar_t* exportName, Body&& body) noexcept {
  try {
    body();
  } catch (const std::bad_alloc&) {
    LogEscaped(exportName, L"out of memory");
  } catch (...) {
    LogEscaped(exportName, L"unexpected error");
  }
}

}  // namespace

namespace {

// The request as the host gave it: 9 for what the struct cannot mean.
constexpr uint32_t kKnownClipFlags = OSTREL_CLIP_SEPARATE_AUDIO_TRACKS | OSTREL_CLIP_DISCARD_SAVED;
constexpr uint32_t kFirstClipRequestSize = sizeof(uint32_t) + 2 * sizeof(int) + sizeof(uint32_t);
static_assert(sizeof(OstrelClipRequest) == kFirstClipRequestSize, "the first version's layout");
static_assert(MarkerRing::kMaxMarkers == OSTREL_MAX_MARKERS && MarkerRing::kMaxLabelLength == 255);

bool ReadClipRequest(const OstrelClipRequest* given, ClipRequest* request) {
  if (given == nullptr || given->size < kFirstClipRequestSize) return false;
  if ((given->flags & ~kKnownClipFlags) != 0) return false;
  if (given->secondsAfter < 0 || given->secondsAfter > kMaxSecondsAfter) return false;
  request->seconds = given->seconds;
  request->secondsAfter = given->secondsAfter;
  request->separateTracks = (given->flags & OSTREL_CLIP_SEPARATE_AUDIO_TRACKS) != 0;
  request->discardSaved = (given->flags & OSTREL_CLIP_DISCARD_SAVED) != 0;
  return true;
}

// A host stop or shutdown first ends the wait of a save waiting for time
// after its request (it holds saveLock meanwhile), and lifts that once it
// holds saveLock itself.
OstrelSession* BeginHostStop() {
  LockGuard sessionLock(g_sessionLock);
  if (g_session) g_session->BeginHostStop();
  return g_session.get();
}
void EndHostStopLocked(OstrelSession* began) REQUIRES(g_sessionLock) {
  if (began != nullptr && g_session.get() == began) began->EndHostStop();
}

// Every save export: the request instant is read first, before any lock.
int SaveClip(int64_t requestTicks, const ClipRequest& request, const wchar_t* outputDir, wchar_t* outPath,
             int outPathCapacity) {
  if (outputDir == nullptr || outputDir[0] == L'\0') return 6;
  LockGuard saveLock(g_saveLock);
  OstrelSession* session = nullptr;
  {
    LockGuard sessionLock(g_sessionLock);
    if (!g_session) return 6;
    if (!g_session->IsCapturing()) return 2;
    session = g_session.get();  // saveLock keeps it alive
  }
  std::wstring written;
  SaveOutcome outcome = SaveOutcome::kFailed;
  try {
    outcome = session->SaveClip(request, requestTicks, outputDir, written);
  } catch (...) {
    session->Log(L"SaveClipNow() failed: unexpected error");
  }
  FlushLogLines();
  if (outcome == SaveOutcome::kNothingBuffered) return 8;
  if (outcome == SaveOutcome::kNothingNew) return 10;
  if (outcome != SaveOutcome::kSaved) return 5;
  if (outPath != nullptr && outPathCapacity >= 1) {
    size_t count = std::min(written.size(), static_cast<size_t>(outPathCapacity - 1));
    std::wmemcpy(outPath, written.data(), count);
    outPath[count] = L'\0';
  }
  return 0;
}

}  // namespace

}  // namespace ostrel

using namespace ostrel;

extern "C" {

OSTREL_API int Ostrel_GlobalInitialize(void) {
  return Guarded(L"GlobalInitialize", 6, [] {
    if (g_initialized) return 0;
    auto& media = platform::GetPlatform().media;
    // The host's thread keeps its apartment: the library's threads are in the
    // multithreaded one, which the hold keeps in existence.
    if (Failed(media.HoldMultithreadedApartment())) return 6;
    Hresult started = hr::kFail;
    try {
      started = RunOnLibraryThread([&media] { return media.Startup(); });
    } catch (const std::bad_alloc&) {
      media.ReleaseMultithreadedApartment();
      throw;
    } catch (...) {
      // No thread for it: as if start-up had failed.
    }
    if (Failed(started) && started != hr::kModuleNotFound) {
      media.ReleaseMultithreadedApartment();
      return 6;
    }
    // FFmpeg's own warnings reach the host like every other line.
    RouteFfmpegLogTo(LogSink(DispatchLogLine));
    if (started == hr::kModuleNotFound) {
      DispatchLogLine(L"[CAPABILITY] Media Foundation is not installed (0x" + Hex32(static_cast<uint32_t>(started)) +
                      L") - no hardware encoder list, recording uses the encoders that do without it.");
    }
    g_mediaStarted = Succeeded(started);
    {
      LockGuard lock(g_sessionLock);
      auto session = std::make_unique<OstrelSession>();
      session->SetLogSink(LogSink(DispatchLogLine));
      g_session = std::move(session);
    }
    g_initialized = true;
    return 0;
  });
}

OSTREL_API void Ostrel_GlobalShutdown(void) {
  Guarded(L"GlobalShutdown", [] {
    // Every line delivered, and no delivery thread left behind.
    struct StopLogDeliveryAtExit {
      ~StopLogDeliveryAtExit() { g_logQueue.Stop(); }
    } stopDelivery;
    OstrelSession* began = BeginHostStop();
    {
      LockGuard saveLock(g_saveLock);
      LockGuard sessionLock(g_sessionLock);
      EndHostStopLocked(began);
      if (g_session) {
        g_session->Stop();
        g_session.reset();
      }
    }
    if (g_initialized) {
      auto& media = platform::GetPlatform().media;
      if (g_mediaStarted) {
        try {
          RunOnLibraryThread([&media] { media.Shutdown(); });
        } catch (...) {
          // No thread for it: Media Foundation stays started until exit.
        }
      }
      g_mediaStarted = false;
      media.ReleaseMultithreadedApartment();
      g_initialized = false;
    }
  });
}

OSTREL_API void Ostrel_SetLogCallback(OstrelLogCallback callback) {
  Guarded(L"SetLogCallback", [callback] {
    FlushLogLines();  // lines written before the switch go to the old callback
    LockGuard lock(g_callbackLock);
    g_callback = callback;
  });
}

OSTREL_API const char* Ostrel_GetAppVersion(void) { return kVersion; }

OSTREL_API bool Ostrel_HasHardwareEncoder(void) {
  return Guarded(L"HasHardwareEncoder", false, [] { return HardwareEncoderListed(); });
}

OSTREL_API int Ostrel_StartCapture(OstrelWindow target, bool captureMonitor, int maxHeight, int fps, int bitrate,
                                   int replaySeconds) {
  return Guarded(L"StartCapture", 4, [&] {
    int result = 4;
    {
      LockGuard lock(g_sessionLock);
      if (!g_session) return 6;
      if (target == nullptr) return 3;
      if (g_session->IsCapturing()) return 1;
      if (!HardwareEncoderListed() && !SoftwareEncoderAllowed()) return 7;
      if (fps > kMaxFps) {
        g_session->Log(L"StartCapture: " + std::to_wstring(fps) + L" fps capped at " + std::to_wstring(kMaxFps) +
                       L" fps (no display refreshes faster).");
      }
      try {
        bool started = g_session->Start(target, captureMonitor, static_cast<uint32_t>(ClampToZero(maxHeight)),
                                        static_cast<uint32_t>(std::min(ClampToZero(fps), kMaxFps)),
                                        static_cast<uint32_t>(ClampToZero(bitrate)),
                                        static_cast<uint32_t>(ClampToZero(replaySeconds)));
        result = started ? 0 : 4;
      } catch (...) {
        // Start catches what it knows; nothing crosses into the host.
        g_session->Log(L"Start() failed: unexpected error");
      }
    }
    FlushLogLines();
    return result;
  });
}

OSTREL_API void Ostrel_StopCapture(void) {
  Guarded(L"StopCapture", [] {
    OstrelSession* began = BeginHostStop();
    {
      LockGuard saveLock(g_saveLock);
      LockGuard sessionLock(g_sessionLock);
      EndHostStopLocked(began);
      if (g_session) g_session->Stop();
    }
    FlushLogLines();
  });
}

OSTREL_API bool Ostrel_IsCapturing(void) {
  return Guarded(L"IsCapturing", false, [] {
    LockGuard lock(g_sessionLock);
    return g_session && g_session->IsCapturing();
  });
}

OSTREL_API double Ostrel_GetMeasuredSustainableFps(void) {
  return Guarded(L"GetMeasuredSustainableFps", 0.0, [] {
    LockGuard lock(g_sessionLock);
    if (!g_session || !g_session->IsCapturing()) return 0.0;
    return g_session->GetMeasuredSustainableFps();
  });
}

OSTREL_API int Ostrel_SaveClip(const OstrelClipRequest* request, const wchar_t* outputDir, wchar_t* outPath,
                               int outPathCapacity) {
  const int64_t requestTicks = TickClock::Now();
  return Guarded(L"SaveClip", 5, [&] {
    ClipRequest read;
    if (!ReadClipRequest(request, &read)) return 9;
    return ostrel::SaveClip(requestTicks, read, outputDir, outPath, outPathCapacity);
  });
}

OSTREL_API int Ostrel_SaveClipNow(const wchar_t* outputDir, wchar_t* outPath, int outPathCapacity) {
  const OstrelClipRequest request{sizeof(OstrelClipRequest), 0, 0, 0};
  return Ostrel_SaveClip(&request, outputDir, outPath, outPathCapacity);
}

OSTREL_API int Ostrel_SaveClipSeconds(int seconds, const wchar_t* outputDir, wchar_t* outPath,
                                      int outPathCapacity) {
  const OstrelClipRequest request{sizeof(OstrelClipRequest), seconds, 0, 0};
  return Ostrel_SaveClip(&request, outputDir, outPath, outPathCapacity);
}

OSTREL_API int Ostrel_AddMarker(const wchar_t* label) {
  const int64_t ticks = TickClock::Now();
  return Guarded(L"AddMarker", 11, [&] {
    const size_t length = label != nullptr ? std::wcslen(label) : 0;
    if (length > MarkerRing::kMaxLabelLength) return 9;
    std::wstring text(label != nullptr ? label : L"", length);  // built before the lock
    LockGuard lock(g_sessionLock);
    if (!g_session) return 6;
    if (!g_session->IsCapturing()) return 2;
    return g_session->AddMarker(ticks, std::move(text)) ? 0 : 11;
  });
}

OSTREL_API bool Ostrel_GetSaveProgress(int* stage, int* done, int* total) {
  int localStage = 0, localDone = 0, localTotal = 0;
  const bool running = Guarded(L"GetSaveProgress", false, [&] {
    LockGuard lock(g_sessionLock);
    return g_session && g_session->GetSaveProgress(&localStage, &localDone, &localTotal);
  });
  if (stage) *stage = localStage;
  if (done) *done = localDone;
  if (total) *total = localTotal;
  return running;
}

OSTREL_API int Ostrel_SetReplayStorage(const wchar_t* folder, int memoryLimitMB) {
  return Guarded(L"SetReplayStorage", 12, [&] {
    {
      LockGuard lock(g_sessionLock);
      if (!g_session) return 6;
    }
    ReplayStorageSettings settings;
    settings.memoryLimitMB = std::max(memoryLimitMB, 0);
    std::wstring line;
    if (folder != nullptr && folder[0] != L'\0') {
      // Checked without the session lock: a slow disk holds up no query.
      std::wstring reason = L"the name holds an unpaired surrogate";
      Hresult prepared = hr::kInvalidArg;
      if (IsRepresentablePath(folder)) {
        settings.folder = AbsoluteFolder(folder);
        prepared = platform::GetPlatform().files.PrepareFolder(settings.folder, &reason);
      }
      if (Failed(prepared)) {
        DispatchLogLine(L"SetReplayStorage: cannot use " + std::wstring(folder) + L": " + reason + L" (0x" +
                        Hex32(prepared) + L")");
        FlushLogLines();
        return 12;
      }
    }
    line = L"SetReplayStorage: " +
           (settings.memoryLimitMB > 0 ? L"memory limit " + std::to_wstring(settings.memoryLimitMB) + L" MB"
                                       : std::wstring(L"no memory limit")) +
           (settings.folder.empty() ? std::wstring(L", no spill folder") : L", spill folder " + settings.folder) +
           L" (from the next start)";
    {
      LockGuard lock(g_sessionLock);
      if (!g_session) return 6;
      g_session->SetReplayStorage(std::move(settings));
      g_session->Log(line);
    }
    FlushLogLines();
    return 0;
  });
}

OSTREL_API void Ostrel_SetCaptureBorderEnabled(bool enabled) {
  Guarded(L"SetCaptureBorderEnabled", [enabled] {
    LockGuard lock(g_sessionLock);
    if (g_session) g_session->SetCaptureBorderEnabled(enabled);
  });
}

OSTREL_API void Ostrel_SetAudioSettings(float desktopVolume, float micVolume, bool desktopMuted, bool micMuted,
                                        const wchar_t* desktopDeviceId, const wchar_t* micDeviceId) {
  Guarded(L"SetAudioSettings", [&] {
    // Built before the lock; without memory for it the settings stay as they were.
    AudioSettings settings;
    settings.desktopVolume = desktopVolume;
    settings.micVolume = micVolume;
    settings.desktopMuted = desktopMuted;
    settings.micMuted = micMuted;
    settings.desktopDeviceId = desktopDeviceId ? desktopDeviceId : L"";
    settings.micDeviceId = micDeviceId ? micDeviceId : L"";
    LockGuard lock(g_sessionLock);
    if (g_session) g_session->SetAudioSettings(std::move(settings));
  });
}

OSTREL_API void Ostrel_EnumerateAudioDevices(bool captureDevices, OstrelAudioDeviceCallback callback) {
  if (callback == nullptr) return;
  Guarded(L"EnumerateAudioDevices", [&] {
    // Listed on a library thread (the caller's may be in no apartment, or in
    // a single-threaded one), reported on the caller's.
    struct Device {
      std::wstring id;
      std::wstring name;
      bool isDefault;
    };
    std::vector<Device> devices;
    try {
      RunOnLibraryThread([&devices, captureDevices] {
        EnumerateAudioDevices(captureDevices, [&devices](const std::wstring& id, const std::wstring& name,
                                                         bool isDefault) { devices.push_back({id, name, isDefault}); });
      });
    } catch (const std::bad_alloc&) {
      throw;
    } catch (...) {
      return;  // nothing listed: no callback
    }
    for (const Device& device : devices) callback(device.id.c_str(), device.name.c_str(), device.isDefault);
  });
}

OSTREL_API int Ostrel_VerifyUpdateArtifact(const wchar_t* path, const uint8_t* signature, int signatureLength,
                                           char* hashHexOut, int hashHexOutCapacity) {
  if (path == nullptr) return 3;
  // A file that cannot be hashed for want of memory counts as unreadable.
  return Guarded(L"VerifyUpdateArtifact", 1, [&] {
    int result = VerifyUpdateArtifact(path, signature, ClampToZero(signatureLength), hashHexOut,
                                      ClampToZero(hashHexOutCapacity));
    return result >= 0 && result <= 3 ? result : 4;
  });
}

}  // extern "C"
