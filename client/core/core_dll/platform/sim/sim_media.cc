#include "platform/sim/sim_media.h"

#include "platform/sim/sim_world.h"

namespace ostrel::sim {
namespace {

constexpr const wchar_t* kEncoderName = L"Fake world hardware H.264 encoder";

// The calling thread's joins not yet given back, as COM counts them.
thread_local int t_apartmentDepth = 0;

class SimMedia final : public platform::IMediaPlatform {
 public:
  // Like CoInitializeEx: the first join of a thread answers S_OK, every
  // later one S_FALSE, and each needs its own leave.
  Hresult JoinMultithreadedApartment() override {
    World::Get().apartmentJoins.fetch_add(1);
    return t_apartmentDepth++ == 0 ? hr::kOk : hr::kFalse;
  }

  // A leave without a join is counted: COM would ignore it, a test must not.
  void LeaveApartment() override {
    if (t_apartmentDepth == 0) {
      World::Get().unmatchedApartmentLeaves.fetch_add(1);
      return;
    }
    --t_apartmentDepth;
  }

  Hresult HoldMultithreadedApartment() override {
    World::Get().apartmentHolds.fetch_add(1);
    return hr::kOk;
  }
  void ReleaseMultithreadedApartment() override { World::Get().apartmentHolds.fetch_sub(1); }

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
    encoder.friendlyName = kEncoderName;
    out->push_back(encoder);
    return hr::kOk;
  }

  Hresult FirstActivatableHardwareH264Encoder(std::wstring* friendlyName) override {
    if (friendlyName == nullptr) return hr::kInvalidArg;
    if (!World::Get().encoderPresent.load()) return hr::kNotFound;
    *friendlyName = kEncoderName;
    return hr::kOk;
  }

  // Every encoder a Windows machine may offer, then the software ones; on
  // request an encoder of hardware frames first, for which this world has no
  // device.
  std::vector<std::string> H264EncoderChain() override {
    std::vector<std::string> chain{"h264_nvenc", "h264_qsv", "h264_amf", "h264_mf", "libopenh264", "libx264"};
    if (World::Get().hardwareFramesEncoderFirst.load()) chain.insert(chain.begin(), "h264_vaapi");
    return chain;
  }

  ffmpeg::BufferRefPtr HardwareEncoderDevice(const std::string&) override {
    World::Get().hardwareDeviceRequests.fetch_add(1);
    return nullptr;
  }
};

}  // namespace

int ApartmentDepthOfThisThread() { return t_apartmentDepth; }

platform::IMediaPlatform& SimMediaPlatform() {
  static SimMedia media;
  return media;
}

}  // namespace ostrel::sim
