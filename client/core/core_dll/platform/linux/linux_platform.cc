// The platform of a Linux desktop: POSIX system services, the CPU GPU, the
// FFmpeg media platform, X11 window capture and PulseAudio.
#include "platform/linux/linux_backend.h"
#include "platform/posix/posix_file_storage.h"
#include "platform/posix/posix_system.h"

namespace ostrel::platform {

Platform& GetPlatform() {
  static posix::PosixSystemServices system;
  static posix::PosixFileStorage files;
  static Platform platform{system, linuxp::MediaPlatform(), linuxp::GpuSystem(), linuxp::WindowCapture(),
                           linuxp::AudioSystem(), files};
  return platform;
}

}  // namespace ostrel::platform
