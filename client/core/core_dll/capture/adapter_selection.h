// The GPU adapter that drives the target's monitor, the capture device on
// it, its GPU priority and its wrapping for the capture service.
#pragma once

#include <functional>
#include <memory>

#include "log/log.h"
#include "platform/gpu.h"

namespace ostrel {

// The adapter with an output on `monitor`; else the first hardware adapter
// (with a warning), or null when there is none. Throws HresultError.
std::shared_ptr<platform::IGpuAdapter> FindAdapterForMonitor(platform::MonitorHandle monitor,
                                                             const LogSink& logSink);
// The capture device on `adapter` (null: the default hardware adapter).
std::shared_ptr<platform::IGpuDevice> CreateCaptureDevice(platform::IGpuAdapter* adapter);
// Asks for GPU thread priority 7 and logs the outcome.
void RaiseGpuThreadPriority(platform::IGpuDevice& device, const std::function<void(const std::wstring&)>& log);
// The device as the capture service takes it.
std::shared_ptr<platform::ICaptureDevice> WrapForCapture(platform::IGpuDevice& device);

}  // namespace ostrel
