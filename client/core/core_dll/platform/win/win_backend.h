// The Windows backend's services. Each returns one process-wide instance
// that lives until the process ends.
#pragma once

#include "platform/platform.h"

namespace ostrel::win {

platform::ISystemServices& SystemServices();  // win_system.cc
platform::IMediaPlatform& MediaPlatform();    // win_media.cc
platform::IAudioSystem& AudioSystem();        // win_audio*.cc
platform::IGpuSystem& GpuSystem();            // win_gpu*.cc
platform::IWindowCapture& WindowCapture();    // win_capture*.cc
platform::IFileStorage& FileStorage();        // win_file_storage.cc

}  // namespace ostrel::win
