// The C control API of the fake world (ostrel_sim.h), except the audio
// endpoint functions, which live with the sim audio.
#include <algorithm>
#include <cmath>
#include <mutex>
#include <string_view>

#include "ostrel/ostrel_sim.h"
#include "platform/sim/sim_audio.h"
#include "platform/sim/sim_file_storage.h"
#include "platform/sim/sim_media.h"
#include "platform/sim/sim_world.h"
#include "platform/sim/sync_marks.h"

using ostrel::Hresult;
using ostrel::sim::AdapterState;
using ostrel::sim::Target;
using ostrel::sim::TargetKind;
using ostrel::sim::World;

namespace {

constexpr double kMaxContentRateHz = 1000.0;

bool ValidExtent(int width, int height) {
  return width > 0 && height > 0 && width <= World::kMaxExtent && height <= World::kMaxExtent;
}

Hresult AsHresult(uint32_t status) { return static_cast<Hresult>(status); }

// Runs `change` on a live window under the world mutex; unknown and
// destroyed handles are ignored.
template <typename Change>
void ChangeWindow(void* window, Change change) {
  World& world = World::Get();
  std::lock_guard lock(world.mutex);
  std::shared_ptr<Target> target = world.WindowLocked(window);
  if (target) change(*target, world);
}

}  // namespace

extern "C" {

OSTREL_API void OstrelSim_Reset(void) {
  World::Get().Reset();
  ostrel::sim::ResetSimAudio();
  ostrel::sim::ResetSimFileStorage();
}

OSTREL_API int OstrelSim_AddAdapter(const wchar_t* description, bool software) {
  World& world = World::Get();
  std::lock_guard lock(world.mutex);
  if (world.adapters.size() >= static_cast<size_t>(World::kMaxAdapters)) return -1;
  AdapterState adapter;
  adapter.description = description != nullptr ? std::wstring(description)
                                                : L"Ostrel Sim GPU " + std::to_wstring(world.adapters.size());
  adapter.software = software;
  world.adapters.push_back(adapter);
  return static_cast<int>(world.adapters.size()) - 1;
}

OSTREL_API void OstrelSim_SetAdapter(int adapter, const wchar_t* description, bool software) {
  World& world = World::Get();
  std::lock_guard lock(world.mutex);
  if (adapter < 0 || adapter >= static_cast<int>(world.adapters.size())) return;
  if (description != nullptr) world.adapters[adapter].description = description;
  world.adapters[adapter].software = software;
}

OSTREL_API int OstrelSim_AddMonitor(int width, int height, int adapter) {
  if (!ValidExtent(width, height)) return -1;
  World& world = World::Get();
  std::lock_guard lock(world.mutex);
  if (adapter < -1 || adapter >= static_cast<int>(world.adapters.size())) return -1;
  if (world.monitors.size() >= static_cast<size_t>(World::kMaxMonitors)) return -1;
  int index = static_cast<int>(world.monitors.size());
  auto monitor = std::make_shared<Target>(TargetKind::Monitor, World::MonitorId(index));
  monitor->width = width;
  monitor->height = height;
  monitor->adapter = adapter;
  world.monitors.push_back(monitor);
  return index;
}

OSTREL_API void* OstrelSim_GetMonitorHandle(int monitor) {
  World& world = World::Get();
  std::lock_guard lock(world.mutex);
  if (monitor < 0 || monitor >= static_cast<int>(world.monitors.size())) return nullptr;
  return world.monitors[monitor]->Handle();
}

OSTREL_API void* OstrelSim_CreateWindow(int width, int height) {
  if (!ValidExtent(width, height)) return nullptr;
  World& world = World::Get();
  std::lock_guard lock(world.mutex);
  uintptr_t id = world.nextWindowId;
  world.nextWindowId += 16;
  auto window = std::make_shared<Target>(TargetKind::Window, id);
  window->width = width;
  window->height = height;
  window->monitor = 0;
  window->rateHz = 60.0;
  world.windows.emplace(id, window);
  return window->Handle();
}

OSTREL_API void OstrelSim_DestroyWindow(void* window) {
  World& world = World::Get();
  std::lock_guard lock(world.mutex);
  std::shared_ptr<Target> target = world.WindowLocked(window);
  if (!target) return;
  world.windows.erase(target->id);
  world.CloseTargetLocked(target);
}

OSTREL_API void OstrelSim_SetWindowMinimized(void* window, bool minimized) {
  ChangeWindow(window, [&](Target& target, World&) { target.minimized = minimized; });
}

OSTREL_API void OstrelSim_ResizeWindow(void* window, int width, int height) {
  if (!ValidExtent(width, height)) return;
  ChangeWindow(window, [&](Target& target, World&) {
    target.width = width;
    target.height = height;
  });
}

OSTREL_API void OstrelSim_SetWindowMonitor(void* window, int monitor) {
  ChangeWindow(window, [&](Target& target, World& world) {
    if (monitor >= 0 && monitor < static_cast<int>(world.monitors.size())) target.monitor = monitor;
  });
}

OSTREL_API void OstrelSim_SetWindowContentRate(void* window, double hz) {
  if (!std::isfinite(hz) || hz < 0.0) return;
  if (hz > kMaxContentRateHz) hz = kMaxContentRateHz;
  ChangeWindow(window, [&](Target& target, World&) { target.rateHz = hz; });
}

OSTREL_API void OstrelSim_SetFrameDeliveryJitterMs(double milliseconds) {
  if (!std::isfinite(milliseconds)) return;
  milliseconds = std::clamp(milliseconds, 0.0, 1000.0);
  World::Get().deliveryJitterTicks = static_cast<int64_t>(milliseconds * 10000.0);
}

OSTREL_API uint64_t OstrelSim_GetDeliveredFrameCount(void) { return World::Get().deliveredFrames.load(); }

OSTREL_API int OstrelSim_GetOpenFramePoolCount(void) { return World::Get().openFramePools.load(); }

OSTREL_API void OstrelSim_SetWindowCaptureAvailable(bool available) {
  World::Get().captureServiceAvailable = available;
}

OSTREL_API void OstrelSim_FailWindowCaptureCall(const char* call, uint32_t status) {
  if (call == nullptr) return;
  World& world = World::Get();
  const std::string_view name(call);
  if (name == "CreateItemForWindow") {
    world.serviceWindowItemFailure = AsHresult(status);
  } else if (name == "CreateItemForMonitor") {
    world.serviceMonitorItemFailure = AsHresult(status);
  } else if (name == "CreateFramePool") {
    world.serviceFramePoolFailure = AsHresult(status);
  } else if (name == "CreateCaptureSession") {
    world.serviceSessionFailure = AsHresult(status);
  }
}

OSTREL_API uint64_t OstrelSim_GetFallbackFrameCount(void) { return World::Get().fallbackFrames.load(); }

OSTREL_API int OstrelSim_GetBorderRequired(void) { return World::Get().borderRequired.load(); }

OSTREL_API void OstrelSim_Sleep(double seconds, bool loseDevice, bool invalidateEndpoints) {
  if (!std::isfinite(seconds) || seconds < 0.0 || seconds > 86400.0) return;
  World& world = World::Get();
  // The devices go before the clock moves: whatever runs first after the
  // resume finds them gone.
  if (loseDevice) world.deviceLostReason = ostrel::hr::kDxgiDeviceRemoved;
  if (invalidateEndpoints) OstrelSim_FailAudioCall(nullptr, "GetNextPacketSize", 0x88890004u, 2);
  world.sleptNanoseconds += static_cast<int64_t>(seconds * 1e9);
}

OSTREL_API int OstrelSim_GetCursorCaptureEnabled(void) { return World::Get().cursorCaptureEnabled.load(); }

OSTREL_API int OstrelSim_GetFramePoolRecreateCount(void) { return World::Get().framePoolRecreations.load(); }

OSTREL_API void OstrelSim_LoseDevice(uint32_t reason) { World::Get().deviceLostReason = AsHresult(reason); }

OSTREL_API void OstrelSim_SetGpuPriorityHonoured(bool honoured) { World::Get().priorityHonoured = honoured; }

OSTREL_API void OstrelSim_SetStagingDelayMs(int milliseconds) {
  World::Get().stagingDelayMs = milliseconds > 0 ? milliseconds : 0;
}

OSTREL_API void OstrelSim_FailTextureCreation(int count, uint32_t status) {
  World& world = World::Get();
  world.textureFailureStatus = AsHresult(status);
  world.textureFailuresLeft = count > 0 ? count : 0;
}

OSTREL_API void OstrelSim_SetFrameDeliveryEnabled(bool enabled) { World::Get().frameDeliveryEnabled = enabled; }

OSTREL_API void OstrelSim_SetCaptureSessionCloseFailure(uint32_t status) {
  World::Get().captureSessionCloseStatus = AsHresult(status);
}

OSTREL_API void OstrelSim_SetBorderFailure(uint32_t status) { World::Get().borderFailureStatus = AsHresult(status); }

OSTREL_API void OstrelSim_FailFrameSurfaceAccess(int count, uint32_t status) {
  World& world = World::Get();
  world.surfaceFailureStatus = AsHresult(status);
  world.surfaceFailuresLeft = count > 0 ? count : 0;
}

OSTREL_API void OstrelSim_SetTextureCreationDelayMs(int milliseconds) {
  World::Get().textureCreationDelayMs = milliseconds > 0 ? milliseconds : 0;
}

OSTREL_API void OstrelSim_SetVideoProcessorNv12(bool supported) { World::Get().videoProcessorNv12 = supported; }
OSTREL_API void OstrelSim_SetVideoProcessorPresent(bool present) {
  World::Get().videoProcessorPresent = present;
}

OSTREL_API void OstrelSim_SetDeviceCreationFailure(uint32_t status) {
  World::Get().deviceCreationFailure = AsHresult(status);
}

OSTREL_API int OstrelSim_GetLastDeviceAdapter(void) { return World::Get().lastDeviceAdapter.load(); }

OSTREL_API int OstrelSim_GetLiveDeviceCount(void) { return World::Get().liveDevices.load(); }

OSTREL_API void OstrelSim_SetHardwareEncoderPresent(bool present) { World::Get().encoderPresent = present; }

OSTREL_API void OstrelSim_SetHardwareEncoderD3D11Aware(bool aware) { World::Get().encoderD3D11Aware = aware; }

OSTREL_API void OstrelSim_SetHardwareFramesEncoderFirst(bool first) {
  World::Get().hardwareFramesEncoderFirst = first;
}

OSTREL_API int OstrelSim_GetHardwareDeviceRequestCount(void) { return World::Get().hardwareDeviceRequests.load(); }

OSTREL_API void OstrelSim_SetMediaStartupFailure(uint32_t status) {
  World::Get().mediaStartupFailure = AsHresult(status);
}

OSTREL_API int OstrelSim_GetApartmentDepthOfThisThread(void) { return ostrel::sim::ApartmentDepthOfThisThread(); }

OSTREL_API void OstrelSim_GetApartmentCounts(uint64_t* joins, uint64_t* unmatchedLeaves, int* holds) {
  World& world = World::Get();
  if (joins != nullptr) *joins = world.apartmentJoins.load();
  if (unmatchedLeaves != nullptr) *unmatchedLeaves = world.unmatchedApartmentLeaves.load();
  if (holds != nullptr) *holds = world.apartmentHolds.load();
}

OSTREL_API void OstrelSim_SetSyncMarks(int periodMs) { ostrel::sim::WorldSyncMarks().SetPeriodMs(periodMs); }

}  // extern "C"
