// The platform of the fake world: POSIX system services, the sim GPU, media
// platform, window capture and audio.
#include "platform/platform.h"
#include "platform/posix/posix_system.h"
#include "platform/sim/sim_audio.h"
#include "platform/sim/sim_capture.h"
#include "platform/sim/sim_file_storage.h"
#include "platform/sim/sim_gpu.h"
#include "platform/sim/sim_media.h"
#include "platform/sim/sim_world.h"

namespace ostrel::platform {
namespace {

// The POSIX services with the world's sleeps added to the counter.
class SimSystemServices final : public ISystemServices {
 public:
  int64_t PerformanceCounter() override {
    return posix_.PerformanceCounter() + sim::World::Get().sleptNanoseconds.load();
  }
  int64_t PerformanceFrequency() override { return posix_.PerformanceFrequency(); }
  LocalTime GetLocalTime() override { return posix_.GetLocalTime(); }
  bool CreateDirectory(const std::wstring& path) override { return posix_.CreateDirectory(path); }
  std::optional<std::wstring> GetEnvironmentVariable(const std::wstring& name, size_t capacity,
                                                     size_t* length) override {
    return posix_.GetEnvironmentVariable(name, capacity, length);
  }
  bool GetProcessMemory(ProcessMemory* out) override { return posix_.GetProcessMemory(out); }
  void ReleaseFreeHeapMemory() override { posix_.ReleaseFreeHeapMemory(); }
  void ReturnLargeBlocksOnFree() override { posix_.ReturnLargeBlocksOnFree(); }
  bool HashFileSha256(const std::wstring& path, std::array<uint8_t, 32>* digest) override {
    return posix_.HashFileSha256(path, digest);
  }
  std::string PathToUtf8(const std::wstring& path) override { return posix_.PathToUtf8(path); }

 private:
  posix::PosixSystemServices posix_;
};

}  // namespace

Platform& GetPlatform() {
  // The world comes first so that it is destroyed after everything that
  // uses it.
  sim::World::Get();
  static SimSystemServices system;
  static Platform platform{system,
                           sim::SimMediaPlatform(),
                           sim::SimGpuSystem(),
                           sim::SimWindowCapture(),
                           sim::SimAudioSystem(),
                           sim::SimFileStorage(),
                           &sim::SimFallbackWindowCapture()};
  return platform;
}

}  // namespace ostrel::platform
