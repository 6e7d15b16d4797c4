#include "watchdog/watchdog.h"

#include "encode/encoder_selection.h"

namespace ostrel {
namespace {

// The 3-second wait in 200 ms slices; false when a stop cut it short.
bool WaitOneInterval(SessionState& state) {
  for (auto elapsed = std::chrono::milliseconds(0); elapsed < kWatchdogInterval; elapsed += kWatchdogSlice) {
    if (state.stopRequested.load()) return false;
    if (!SleepUnlessStopped(state, kWatchdogSlice)) return false;
  }
  return !state.stopRequested.load();
}

}  // namespace

void RunWatchdog(OstrelSession& session, platform::WindowHandle target, bool captureMonitor) {
  SessionState& state = session.State();
  // Capture starts only with a hardware encoder, unless the platform lets the
  // software one record: then only an encoder seen at the start can vanish.
  bool encoderWasPresent = !SoftwareEncoderAllowed() || ProbeHardwareEncoder();
  for (;;) {
    if (state.stopRequested.load()) return;
    if (!WaitOneInterval(state)) return;
    Hresult reason = state.d3dDevice ? state.d3dDevice->GetDeviceRemovedReason() : hr::kOk;
    if (reason != hr::kOk) {
      session.Log(L"Watchdog: GPU device lost (0x" + Hex32(reason) +
                  L") - a driver reset (TDR) or a display sleep/resume cycle can cause this. Attempting "
                  L"automatic capture restart.");
      RequestStop(state);
      // The host's replay length is kept (not the 60-second default).
      session.BeginRestartAfterDeviceLoss({target, captureMonitor, state.requestedMaxHeight, state.requestedFps,
                                           state.requestedBitrate, state.requestedReplaySeconds,
                                           state.captureEpoch});
      return;
    }
    bool present = ProbeHardwareEncoder();
    if (encoderWasPresent && !present) {
      session.Log(L"Watchdog: no hardware H.264 encoder detected anymore (driver removed/changed?) - if capture "
                  L"or the next restart starts failing, this is likely why.");
    }
    encoderWasPresent = present;
  }
}

}  // namespace ostrel
