#include "platform/win/win_backend.h"
#include "platform/win/win_capture.h"

namespace ostrel::platform {

Platform& GetPlatform() {
  // Windows.Graphics.Capture, with GDI where it is absent or incomplete.
  static Platform platform{win::SystemServices(), win::MediaPlatform(), win::GpuSystem(),
                           win::WindowCapture(),  win::AudioSystem(),   win::FileStorage(),
                           &win::GdiWindowCapture()};
  return platform;
}

}  // namespace ostrel::platform
