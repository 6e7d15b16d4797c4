// The fake world's GPU: adapters and outputs from the world's lists, and
// the shared CPU device (platform/cpu) with the world's scripted faults
// around it: device loss, texture failures and delays, and staging maps that
// honour the world's staging delay.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/cpu/cpu_gpu.h"
#include "platform/gpu.h"

namespace ostrel::sim {

using platform::cpu::kPitchAlignment;
// Textures are the shared CPU textures.
using SimTexture = platform::cpu::CpuTexture;

// Bytes held by every simulated texture alive now: on a real GPU this memory
// is video memory, so memory figures of the process leave it out.
size_t LiveTextureBytes();

class SimDevice;

// The platform's GPU system.
platform::IGpuSystem& SimGpuSystem();

// The device behind a capture device made by WrapForCapture; null for
// anything else.
std::shared_ptr<SimDevice> DeviceOfCaptureDevice(platform::ICaptureDevice& device);

// A BGRA texture for the capture service's own buffers (made even while
// the device is lost, as the capture service keeps its surfaces).
std::shared_ptr<SimTexture> CreateSurfaceTexture(int width, int height);

}  // namespace ostrel::sim
