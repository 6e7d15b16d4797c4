// The GPU device-loss watchdog: checks the capture device every 3 s, hands a
// lost device to an automatic restart, and reports a hardware H.264 encoder
// that disappears.
#pragma once

#include <chrono>

#include "ostrel_session.h"

namespace ostrel {

constexpr std::chrono::milliseconds kWatchdogInterval{3000};
constexpr std::chrono::milliseconds kWatchdogSlice{200};

void RunWatchdog(OstrelSession& session, platform::WindowHandle target, bool captureMonitor);

}  // namespace ostrel
