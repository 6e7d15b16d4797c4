// The Linux backend's services. Each returns one process-wide instance that
// lives until the process ends.
//
// Windows are X11 windows reached through xcb (the HWND-typed argument
// carries the window's XID), audio goes through the PulseAudio client API
// (PipeWire's pulse server works the same), the GPU is the CPU
// implementation of platform/cpu, and the system services are the POSIX
// ones.
#pragma once

#include "platform/platform.h"

namespace ostrel::linuxp {

platform::IMediaPlatform& MediaPlatform();    // linux_media.cc
platform::IAudioSystem& AudioSystem();        // pulse_*.cc
platform::IGpuSystem& GpuSystem();            // linux_gpu.cc
platform::IWindowCapture& WindowCapture();    // x11_capture*.cc

}  // namespace ostrel::linuxp
