#include "watchdog/watchdog.h"

#include "encode/encoder_selection.h"

namespace ostrel {
namespace {

// The 3-second wait in 200 ms slices; false when a stop cut it short.
bool WaitOneInterval(WorkerSignals& state) {
  for (auto elapsed = std::chrono::milliseconds(0); elapsed < kWatchdogInterval; elapsed += kWatchdogSlice) {
    if (state.stopRequested.load()) return false;
    if (!SleepUnlessStopped(state, kWatchdogSlice)) return false;
  }
  return !state.stopRequested.load();
}

}  // namespace

void RunWatchdog(WorkerSignals& signals, const WatchdogHooks& hooks) {
  // Capture starts only with a hardware encoder, unless the platform lets the
  // software one record: then only an encoder seen at the start can vanish.
  bool encoderWasPresent = !SoftwareEncoderAllowed() || ProbeHardwareEncoder();
  for (;;) {
    if (signals.stopRequested.load()) return;
    if (!WaitOneInterval(signals)) return;
    Hresult reason = hooks.deviceRemovedReason();
    if (reason != hr::kOk) {
      SessionLog(signals, L"Watchdog: GPU device lost (0x" + Hex32(reason) +
                              L") - a driver reset (TDR) or a display sleep/resume cycle can cause this. "
                              L"Attempting automatic capture restart.");
      hooks.onDeviceLost();
      return;
    }
    bool present = ProbeHardwareEncoder();
    if (encoderWasPresent && !present) {
      SessionLog(signals, L"Watchdog: no hardware H.264 encoder detected anymore (driver removed/changed?) - if capture "
                  L"or the next restart starts failing, this is likely why.");
    }
    encoderWasPresent = present;
  }
}

}  // namespace ostrel
