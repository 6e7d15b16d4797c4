#include "platform/sim/sim_media.h"

#include "platform/sim/sim_world.h"

namespace ostrel::sim {
namespace {

class SimMedia final : public platform::IMediaPlatform {
 public:
  // Like CoInitializeEx: the first join of a thread answers S_OK, every
  // later one S_FALSE.
  Hresult JoinMultithreadedApartment() override {
    thread_local bool joined = false;
    if (joined) return hr::kFalse;
    joined = true;
    return hr::kOk;
  }

  Hresult Startup() override {
    Hresult failure = World::Get().mediaStartupFailure.load();
    return Failed(failure) ? failure : hr::kOk;
  }

  void Shutdown() override {}

  Hresult EnumHardwareH264Encoders(std::vector<platform::HardwareEncoderInfo>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->clear();
    World& world = World::Get();
    if (!world.encoderPresent.load()) return hr::kOk;
    platform::HardwareEncoderInfo encoder;
    encoder.d3d11AwareReadResult = hr::kOk;
    encoder.d3d11Aware = world.encoderD3D11Aware.load() ? 1 : 0;
    out->push_back(encoder);
    return hr::kOk;
  }

  // Every encoder a Windows machine may offer, then the software ones; on
  // request an encoder of hardware frames first, for which this world has no
  // device.
  std::vector<std::string> H264EncoderChain() override {
    std::vector<std::string> chain{"h264_nvenc", "h264_qsv", "h264_amf", "libopenh264", "libx264"};
    if (World::Get().hardwareFramesEncoderFirst.load()) chain.insert(chain.begin(), "h264_vaapi");
    return chain;
  }

  ffmpeg::BufferRefPtr HardwareEncoderDevice(const std::string&) override {
    World::Get().hardwareDeviceRequests.fetch_add(1);
    return nullptr;
  }
};

}  // namespace

platform::IMediaPlatform& SimMediaPlatform() {
  static SimMedia media;
  return media;
}

}  // namespace ostrel::sim
