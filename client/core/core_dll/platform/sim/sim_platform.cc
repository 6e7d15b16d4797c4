// The platform of the fake world: POSIX system services, the sim GPU, media
// platform, window capture and audio.
#include "platform/platform.h"
#include "platform/posix/posix_system.h"
#include "platform/sim/sim_audio.h"
#include "platform/sim/sim_capture.h"
#include "platform/sim/sim_gpu.h"
#include "platform/sim/sim_media.h"
#include "platform/sim/sim_world.h"

namespace ostrel::platform {

Platform& GetPlatform() {
  // The world comes first so that it is destroyed after everything that
  // uses it.
  sim::World::Get();
  static posix::PosixSystemServices system;
  static Platform platform{system,
                           sim::SimMediaPlatform(),
                           sim::SimGpuSystem(),
                           sim::SimWindowCapture(),
                           sim::SimAudioSystem(),
                           &sim::SimFallbackWindowCapture()};
  return platform;
}

}  // namespace ostrel::platform
