// The GPU device-loss watchdog: checks the capture device every 3 s, hands a
// lost device to an automatic restart, and reports a hardware H.264 encoder
// that disappears.
#pragma once

#include <chrono>
#include <functional>

#include "encode/frame_handoff.h"
#include "platform/hresult.h"

namespace ostrel {

constexpr std::chrono::milliseconds kWatchdogInterval{3000};
constexpr std::chrono::milliseconds kWatchdogSlice{200};

// What the watchdog needs from the capture it guards.
struct WatchdogHooks {
  // The capture device's GetDeviceRemovedReason (kOk while it is fine).
  std::function<Hresult()> deviceRemovedReason;
  // Called once on a loss, after its line: stops the capture and hands it to
  // the automatic restart. The watchdog returns right after.
  std::function<void()> onDeviceLost;
};

// Runs until signals.stopRequested is set or the device is lost; logs
// through the session's log in `signals`.
void RunWatchdog(WorkerSignals& signals, const WatchdogHooks& hooks);

}  // namespace ostrel
