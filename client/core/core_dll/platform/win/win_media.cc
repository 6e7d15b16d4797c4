// IMediaPlatform on Windows: COM apartment, Media Foundation start-up and
// the hardware H.264 encoder transforms.
//
// Media Foundation is loaded at run time: Windows N and KN editions ship
// without it (until the Media Feature Pack is installed), and a DLL that
// imported mfplat.dll would not load there at all. FFmpeg's h264_mf loads
// it the same way.
//
// Link: ole32 (CoInitializeEx, CoUninitialize, CoIncrementMTAUsage,
// CoDecrementMTAUsage, CoTaskMemFree), mfuuid (the
// Media Foundation GUIDs, data only).
#include <windows.h>
#include <mfapi.h>
#include <mfobjects.h>
#include <mftransform.h>

#include <mutex>

#include "platform/win/win_backend.h"
#include "platform/win/win_com.h"

namespace ostrel::win {
namespace {

static_assert(MF_VERSION == 0x20070, "Media Foundation version the library was written against");

// The entry points of mfplat.dll the library calls, resolved once; all null
// when the DLL (or one of them) is missing.
struct MediaFoundation {
  using StartupFn = HRESULT(WINAPI*)(ULONG, DWORD);
  using ShutdownFn = HRESULT(WINAPI*)();
  using EnumExFn = HRESULT(WINAPI*)(GUID, UINT32, const MFT_REGISTER_TYPE_INFO*, const MFT_REGISTER_TYPE_INFO*,
                                    IMFActivate***, UINT32*);
  using GetInfoFn = HRESULT(WINAPI*)(CLSID, LPWSTR*, MFT_REGISTER_TYPE_INFO**, UINT32*, MFT_REGISTER_TYPE_INFO**,
                                     UINT32*, IMFAttributes**);
  StartupFn startup = nullptr;
  ShutdownFn shutdown = nullptr;
  EnumExFn enumEx = nullptr;
  GetInfoFn getInfo = nullptr;  // optional: names a transform whose activation object has no name

  bool loaded() const { return startup != nullptr && shutdown != nullptr && enumEx != nullptr; }

  static const MediaFoundation& Get() {
    static const MediaFoundation functions = Load();
    return functions;
  }

 private:
  template <typename Fn>
  static Fn Resolve(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
  }
  static MediaFoundation Load() {
    MediaFoundation functions;
    // From System32 only; the module stays loaded for the process's life.
    HMODULE module = LoadLibraryExW(L"mfplat.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (module == nullptr) return functions;
    functions.startup = Resolve<StartupFn>(module, "MFStartup");
    functions.shutdown = Resolve<ShutdownFn>(module, "MFShutdown");
    functions.enumEx = Resolve<EnumExFn>(module, "MFTEnumEx");
    functions.getInfo = Resolve<GetInfoFn>(module, "MFTGetInfo");
    if (!functions.loaded()) functions = MediaFoundation{};
    return functions;
  }
};

constexpr HRESULT kNoMediaFoundation = static_cast<HRESULT>(hr::kModuleNotFound);

// The hardware H.264 encoder transforms in the order h264_mf walks them
// (hw_encoding: hardware | sort-and-filter, any input, H.264 out).
HRESULT EnumerateTransforms(std::vector<ComPtr<IMFActivate>>* owned) {
  const MediaFoundation& mf = MediaFoundation::Get();
  if (!mf.loaded()) return kNoMediaFoundation;
  const MFT_REGISTER_TYPE_INFO outputType{MFMediaType_Video, MFVideoFormat_H264};
  IMFActivate** activates = nullptr;
  UINT32 count = 0;
  const HRESULT result = mf.enumEx(MFT_CATEGORY_VIDEO_ENCODER, MFT_ENUM_FLAG_HARDWARE | MFT_ENUM_FLAG_SORTANDFILTER,
                                   nullptr, &outputType, &activates, &count);
  // The array and every activation object in it are ours, whatever happens
  // below.
  CoTaskMemPtr<IMFActivate*> array(activates);
  if (activates != nullptr) {
    owned->reserve(count);
    for (UINT32 i = 0; i < count; ++i) owned->push_back(Adopt(activates[i]));
  }
  return result;
}

// The activation object's MFT_FRIENDLY_NAME_Attribute, else the name the
// transform was registered with (MFTGetInfo; Wine's activation objects carry
// none); empty when neither is there.
std::wstring FriendlyName(IMFActivate& activate) {
  wchar_t* raw = nullptr;
  UINT32 length = 0;
  if (SUCCEEDED(activate.GetAllocatedString(MFT_FRIENDLY_NAME_Attribute, &raw, &length)) && raw != nullptr) {
    CoTaskMemPtr<wchar_t> name(raw);
    if (length != 0) return std::wstring(name.get(), length);
  }
  const MediaFoundation& mf = MediaFoundation::Get();
  CLSID clsid{};
  if (mf.getInfo == nullptr || FAILED(activate.GetGUID(MFT_TRANSFORM_CLSID_Attribute, &clsid))) return {};
  wchar_t* registered = nullptr;
  MFT_REGISTER_TYPE_INFO* inputs = nullptr;
  MFT_REGISTER_TYPE_INFO* outputs = nullptr;
  UINT32 inputCount = 0, outputCount = 0;
  const HRESULT result = mf.getInfo(clsid, &registered, &inputs, &inputCount, &outputs, &outputCount, nullptr);
  CoTaskMemPtr<wchar_t> name(registered);
  CoTaskMemPtr<MFT_REGISTER_TYPE_INFO> inputTypes(inputs);
  CoTaskMemPtr<MFT_REGISTER_TYPE_INFO> outputTypes(outputs);
  return SUCCEEDED(result) && name ? std::wstring(name.get()) : std::wstring();
}

class WinMediaPlatform final : public platform::IMediaPlatform {
 public:
  Hresult JoinMultithreadedApartment() override {
    return static_cast<Hresult>(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
  }

  void LeaveApartment() override { CoUninitialize(); }

  Hresult HoldMultithreadedApartment() override {
    std::lock_guard lock(holdMutex_);
    if (holds_++ != 0) return hr::kOk;
    const HRESULT result = CoIncrementMTAUsage(&cookie_);
    if (FAILED(result)) holds_ = 0;
    return static_cast<Hresult>(result);
  }

  void ReleaseMultithreadedApartment() override {
    std::lock_guard lock(holdMutex_);
    if (holds_ == 0 || --holds_ != 0) return;
    CoDecrementMTAUsage(cookie_);
    cookie_ = nullptr;
  }

  Hresult Startup() override {
    const MediaFoundation& mf = MediaFoundation::Get();
    return static_cast<Hresult>(mf.loaded() ? mf.startup(MF_VERSION, MFSTARTUP_FULL) : kNoMediaFoundation);
  }

  void Shutdown() override {
    const MediaFoundation& mf = MediaFoundation::Get();
    if (mf.loaded()) mf.shutdown();
  }

  Hresult EnumHardwareH264Encoders(std::vector<platform::HardwareEncoderInfo>* out) override {
    if (out == nullptr) return hr::kInvalidArg;
    out->clear();
    std::vector<ComPtr<IMFActivate>> owned;
    const HRESULT result = EnumerateTransforms(&owned);
    if (FAILED(result)) return static_cast<Hresult>(result);

    out->reserve(owned.size());
    for (const ComPtr<IMFActivate>& activate : owned) {
      platform::HardwareEncoderInfo info;
      UINT32 aware = 0;
      info.d3d11AwareReadResult =
          activate ? static_cast<Hresult>(activate->GetUINT32(MF_SA_D3D11_AWARE, &aware)) : hr::kFail;
      info.d3d11Aware = Succeeded(info.d3d11AwareReadResult) ? aware : 0;
      if (activate) info.friendlyName = FriendlyName(*activate.Get());
      out->push_back(info);
    }
    return static_cast<Hresult>(result);
  }

  Hresult FirstActivatableHardwareH264Encoder(std::wstring* friendlyName) override {
    if (friendlyName == nullptr) return hr::kInvalidArg;
    std::vector<ComPtr<IMFActivate>> owned;
    const HRESULT result = EnumerateTransforms(&owned);
    if (FAILED(result)) return static_cast<Hresult>(result);
    HRESULT last = static_cast<HRESULT>(hr::kNotFound);
    for (const ComPtr<IMFActivate>& activate : owned) {
      if (!activate) continue;
      ComPtr<IMFTransform> transform;
      last = activate->ActivateObject(__uuidof(IMFTransform), reinterpret_cast<void**>(transform.GetAddressOf()));
      if (FAILED(last) || !transform) continue;
      *friendlyName = FriendlyName(*activate.Get());
      transform.Reset();
      activate->ShutdownObject();
      return hr::kOk;
    }
    return static_cast<Hresult>(last);
  }

  // Without Media Foundation there is no hardware list to ask (Windows N):
  // capture starts on the rest of the chain. OSTREL_ALLOW_SOFTWARE_ENCODER=1
  // allows it everywhere.
  bool SoftwareEncoderAllowed() override {
    if (!MediaFoundation::Get().loaded()) return true;
    wchar_t value[4] = {};
    const DWORD length = GetEnvironmentVariableW(L"OSTREL_ALLOW_SOFTWARE_ENCODER", value, 4);
    return length == 1 && value[0] == L'1';
  }

  // Hardware first; QSV and AMF are not in this build (no runtime or headers
  // to build them against), so the Media Foundation encoder (opened on
  // hardware transforms only) and OpenH264 end the chain.
  std::vector<std::string> H264EncoderChain() override { return {"h264_nvenc", "h264_mf", "libopenh264"}; }

 private:
  std::mutex holdMutex_;
  int holds_ = 0;
  CO_MTA_USAGE_COOKIE cookie_ = nullptr;
};

}  // namespace

platform::IMediaPlatform& MediaPlatform() {
  static WinMediaPlatform media;
  return media;
}

}  // namespace ostrel::win
