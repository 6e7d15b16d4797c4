#include "fake_mft.h"

#include <windows.h>
#include <mfapi.h>
#include <mftransform.h>

#include <cstdio>

namespace ostrel::winhost {
namespace {

// The test's own class id; no such transform exists.
constexpr CLSID kFakeEncoderClsid = {0x6f1d2c3a, 0x5b7e, 0x4e2a, {0x9c, 0x1d, 0x0a, 0x7e, 0x5b, 0x3c, 0x2f, 0x10}};

}  // namespace

bool RegisterFakeHardwareEncoder() {
  MFT_REGISTER_TYPE_INFO input{MFMediaType_Video, MFVideoFormat_NV12};
  MFT_REGISTER_TYPE_INFO output{MFMediaType_Video, MFVideoFormat_H264};
  wchar_t name[] = L"Ostrel test hardware H.264 encoder";
  HRESULT result = MFTRegister(kFakeEncoderClsid, MFT_CATEGORY_VIDEO_ENCODER, name, MFT_ENUM_FLAG_HARDWARE, 1, &input,
                               1, &output, nullptr);
  if (FAILED(result)) std::printf("MFTRegister failed: 0x%08lX\n", static_cast<unsigned long>(result));
  return SUCCEEDED(result);
}

void UnregisterFakeHardwareEncoder() { MFTUnregister(kFakeEncoderClsid); }

}  // namespace ostrel::winhost
