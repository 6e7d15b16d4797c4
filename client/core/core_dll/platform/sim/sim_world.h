// The state of the fake world: adapters, monitors, windows, the GPU and
// media switches, and the thread that raises the world's events.
//
// One world per process. Lists and targets are guarded by `mutex`; the
// switches read on hot paths (device loss, staging delay, ...) are atomics
// and need no lock. Nobody holds `mutex` while calling a handler.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/hresult.h"
#include "platform/window_capture.h"

namespace ostrel::sim {

enum class TargetKind { Window, Monitor };

// A window or a monitor: something a capture item shows. Every field but
// `kind` and `id` is guarded by the world mutex.
struct Target {
  Target(TargetKind k, uintptr_t i) : kind(k), id(i) {}

  const TargetKind kind;
  const uintptr_t id;  // the handle value (HWND / HMONITOR stand-in)
  int width = 0;
  int height = 0;
  int monitor = 0;       // window: the monitor it is on
  int adapter = 0;       // monitor: the adapter driving it, -1 none
  double rateHz = 60.0;  // content change rate; 0 still
  bool minimized = false;
  bool closed = false;  // destroyed window / removed monitor
  std::map<platform::EventToken, std::function<void()>> closedHandlers;

  void* Handle() const { return reinterpret_cast<void*>(id); }
};

struct AdapterState {
  std::wstring description;
  bool software = false;
};

// What a frame pool needs to render one frame of a target.
struct TargetView {
  bool closed = false;
  bool minimized = false;
  int width = 0;
  int height = 0;
  double rateHz = 0.0;
};

class World {
 public:
  static constexpr int kMaxAdapters = 16;
  static constexpr int kMaxMonitors = 16;
  static constexpr int kMaxExtent = 16384;

  static World& Get();

  World();
  ~World();
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  // ---- guarded by mutex ----
  std::mutex mutex;
  std::vector<AdapterState> adapters;
  std::vector<std::shared_ptr<Target>> monitors;
  std::map<uintptr_t, std::shared_ptr<Target>> windows;
  uintptr_t nextWindowId = 0;

  // ---- switches (atomics) ----
  std::atomic<Hresult> deviceLostReason{hr::kOk};
  std::atomic<bool> priorityHonoured{true};
  std::atomic<int> stagingDelayMs{0};
  std::atomic<bool> videoProcessorNv12{true};
  std::atomic<bool> videoProcessorPresent{true};
  std::atomic<Hresult> deviceCreationFailure{hr::kOk};
  std::atomic<bool> encoderPresent{true};
  std::atomic<bool> encoderD3D11Aware{true};
  std::atomic<bool> hardwareFramesEncoderFirst{false};
  std::atomic<int> hardwareDeviceRequests{0};
  std::atomic<Hresult> mediaStartupFailure{hr::kOk};
  // Apartment joins of every thread, and leaves of a thread that held none.
  std::atomic<uint64_t> apartmentJoins{0};
  std::atomic<uint64_t> unmatchedApartmentLeaves{0};
  // Holds of the apartment not yet released.
  std::atomic<int> apartmentHolds{0};
  std::atomic<int> textureFailuresLeft{0};
  std::atomic<Hresult> textureFailureStatus{hr::kOk};
  std::atomic<int> textureCreationDelayMs{0};
  std::atomic<bool> frameDeliveryEnabled{true};
  std::atomic<int64_t> deliveryJitterTicks{0};
  // Nanoseconds the performance counter was moved forward by sleeps; never
  // reset, so the clock never goes back.
  std::atomic<int64_t> sleptNanoseconds{0};  // animated frames arrive up to this late
  std::atomic<bool> captureServiceAvailable{true};
  // What the capture service (not its fallback) answers at each step of the
  // capture chain; kOk: it works.
  std::atomic<Hresult> serviceWindowItemFailure{hr::kOk};
  std::atomic<Hresult> serviceMonitorItemFailure{hr::kOk};
  std::atomic<Hresult> serviceFramePoolFailure{hr::kOk};
  std::atomic<Hresult> serviceSessionFailure{hr::kOk};
  std::atomic<Hresult> captureSessionCloseStatus{hr::kOk};  // what closing a capture session reports
  std::atomic<Hresult> borderFailureStatus{hr::kOk};        // what setting the border reports
  std::atomic<int> surfaceFailuresLeft{0};
  std::atomic<Hresult> surfaceFailureStatus{hr::kOk};

  // ---- observations for tests ----
  std::atomic<uint64_t> deliveredFrames{0};
  std::atomic<uint64_t> fallbackFrames{0};
  std::atomic<int> lastDeviceAdapter{-1};
  std::atomic<int> borderRequired{-1};
  std::atomic<int> cursorCaptureEnabled{-1};
  std::atomic<int> framePoolRecreations{0};
  std::atomic<int> openFramePools{0};
  std::atomic<int> liveDevices{0};

  // What GPU calls answer while the device is lost: kOk when healthy,
  // otherwise the loss reason (a failing code; DEVICE_REMOVED for any
  // other non-zero reason).
  Hresult DeviceFault() const {
    Hresult reason = deviceLostReason.load();
    if (reason == hr::kOk) return hr::kOk;
    return Failed(reason) ? reason : hr::kDxgiDeviceRemoved;
  }

  platform::EventToken NextToken() { return nextToken_.fetch_add(1) + 1; }

  // Monitor handle of monitor `index` (stable across resets).
  static uintptr_t MonitorId(int index) { return kMonitorIdBase + static_cast<uintptr_t>(index) * 16; }
  // Index of a monitor handle, -1 when it names no monitor. Needs mutex.
  int MonitorIndexLocked(void* handle) const;
  // Window by handle, null for unknown or destroyed windows. Needs mutex.
  std::shared_ptr<Target> WindowLocked(void* handle) const;

  // Snapshot of a target for rendering (takes mutex).
  TargetView View(const Target& target);

  // Marks the target closed and queues its closed event. Needs mutex;
  // the handlers run later on the event thread.
  void CloseTargetLocked(const std::shared_ptr<Target>& target);

  // Runs `task` on the world's event thread (never on the caller's).
  void Post(std::function<void()> task);
  // Waits until every task posted so far has run. Does nothing on the
  // event thread itself.
  void Flush();
  bool OnEventThread() const;

  // Back to the default world (see OstrelSim_Reset). Takes mutex.
  void Reset();

 private:
  static constexpr uintptr_t kMonitorIdBase = 0x10000;

  void ResetListsLocked();
  void EventLoop();

  std::atomic<platform::EventToken> nextToken_{0};

  std::mutex eventMutex_;
  std::condition_variable eventCv_;
  std::deque<std::function<void()>> events_;
  uint64_t eventsPosted_ = 0;
  uint64_t eventsDone_ = 0;
  bool eventStop_ = false;
  std::thread eventThread_;
};

}  // namespace ostrel::sim
