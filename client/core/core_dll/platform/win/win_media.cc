// IMediaPlatform on Windows: COM apartment, Media Foundation start-up and
// the hardware H.264 encoder transforms.
//
// Link: ole32 (CoInitializeEx, CoTaskMemFree), mfplat (MFStartup,
// MFShutdown, MFTEnumEx), mfuuid (the Media Foundation GUIDs).
#include <windows.h>
#include <mfapi.h>
#include <mfobjects.h>
#include <mftransform.h>

#include "platform/win/win_backend.h"
#include "platform/win/win_com.h"

namespace ostrel::win {
namespace {

static_assert(MF_VERSION == 0x20070, "Media Foundation version the library was written against");

class WinMediaPlatform final : public platform::IMediaPlatform {
 public:
  Hresult JoinMultithreadedApartment() override {
    return static_cast<Hresult>(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  }

  Hresult Startup() override { return static_cast<Hresult>(MFStartup(MF_VERSION, MFSTARTUP_FULL)); }

  void Shutdown() override { MFShutdown(); }

  Hresult EnumHardwareH264Encoders(std::vector<platform::HardwareEncoderInfo>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->clear();
    const MFT_REGISTER_TYPE_INFO outputType{MFMediaType_Video, MFVideoFormat_H264};
    IMFActivate** activates = nullptr;
    UINT32 count = 0;
    const HRESULT result = MFTEnumEx(MFT_CATEGORY_VIDEO_ENCODER, MFT_ENUM_FLAG_HARDWARE | MFT_ENUM_FLAG_SORTANDFILTER,
                                     nullptr, &outputType, &activates, &count);
    // The array and every activation object in it are ours, whatever happens
    // below.
    CoTaskMemPtr<IMFActivate*> array(activates);
    std::vector<ComPtr<IMFActivate>> owned;
    if (activates != nullptr) {
      owned.reserve(count);
      for (UINT32 i = 0; i < count; ++i) {
        owned.push_back(Adopt(activates[i]));
      }
    }
    if (FAILED(result)) return static_cast<Hresult>(result);

    out->reserve(owned.size());
    for (const ComPtr<IMFActivate>& activate : owned) {
      platform::HardwareEncoderInfo info;
      UINT32 aware = 0;
      info.d3d11AwareReadResult =
          activate ? static_cast<Hresult>(activate->GetUINT32(MF_SA_D3D11_AWARE, &aware)) : hr::kFail;
      info.d3d11Aware = Succeeded(info.d3d11AwareReadResult) ? aware : 0;
      out->push_back(info);
    }
    return static_cast<Hresult>(result);
  }

  // Hardware first; QSV and AMF are not in this build (no runtime or headers
  // to build them against), so the Media Foundation encoder and OpenH264 end
  // the chain.
  std::vector<std::string> H264EncoderChain() override { return {"h264_nvenc", "h264_mf", "libopenh264"}; }
};

}  // namespace

platform::IMediaPlatform& MediaPlatform() {
  static WinMediaPlatform media;
  return media;
}

}  // namespace ostrel::win
