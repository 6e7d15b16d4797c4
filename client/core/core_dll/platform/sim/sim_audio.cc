// Placeholder until the fake world's audio endpoints exist: no endpoints.
#include "platform/sim/sim_audio.h"

namespace ostrel::sim {
namespace {

class NoAudioSystem final : public platform::IAudioSystem {
 public:
  Hresult CreateDeviceEnumerator(std::shared_ptr<platform::IAudioDeviceEnumerator>*) override {
    return hr::kFail;
  }
  void* EnterProAudioScheduling() override { return nullptr; }
  bool SetCriticalPriority(void*) override { return false; }
  void LeaveProAudioScheduling(void*) override {}
};

}  // namespace

platform::IAudioSystem& SimAudioSystem() {
  static NoAudioSystem system;
  return system;
}

void ResetSimAudio() {}

}  // namespace ostrel::sim
