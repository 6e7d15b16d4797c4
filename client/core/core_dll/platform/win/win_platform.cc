#include "platform/win/win_backend.h"

namespace ostrel::platform {

Platform& GetPlatform() {
  static Platform platform{win::SystemServices(), win::MediaPlatform(), win::GpuSystem(), win::WindowCapture(),
                           win::AudioSystem()};
  return platform;
}

}  // namespace ostrel::platform
