// The platform layer: every operating-system service the library uses, as
// interfaces. The build selects one backend (platform/sim, later
// platform/linux and platform/windows); nothing outside a backend's folder
// includes platform headers of the operating system.
#pragma once

#include "platform/audio.h"
#include "platform/file_storage.h"
#include "platform/gpu.h"
#include "platform/hresult.h"
#include "platform/media.h"
#include "platform/system.h"
#include "platform/window_capture.h"

namespace ostrel::platform {

struct Platform {
  ISystemServices& system;
  IMediaPlatform& media;
  IGpuSystem& gpu;
  IWindowCapture& capture;
  IAudioSystem& audio;
  IFileStorage& files;
  // A second window-capture source for systems where `capture` is absent or
  // incomplete (capture/capture_source.cc decides from the codes of its
  // item, pool and session creation); null where there is none.
  IWindowCapture* fallbackCapture = nullptr;
};

// The backend of this build; lives for the whole process.
Platform& GetPlatform();

}  // namespace ostrel::platform
