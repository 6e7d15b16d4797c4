#include "fake_mft.h"

#include "test_h264_transform.h"

#include <windows.h>
#include <mfapi.h>
#include <mftransform.h>

#include <cstdio>
#include <string>

namespace ostrel::winhost {
namespace {

// The test's own class id; no such transform exists.
constexpr CLSID kFakeEncoderClsid = {0x6f1d2c3a, 0x5b7e, 0x4e2a, {0x9c, 0x1d, 0x0a, 0x7e, 0x5b, 0x3c, 0x2f, 0x10}};

// mfplat.dll is loaded when needed: the run without Media Foundation starts
// this host with it disabled.
using RegisterFn = HRESULT(WINAPI*)(CLSID, GUID, LPWSTR, UINT32, UINT32, MFT_REGISTER_TYPE_INFO*, UINT32,
                                    MFT_REGISTER_TYPE_INFO*, IMFAttributes*);
using UnregisterFn = HRESULT(WINAPI*)(CLSID);

template <typename Fn>
Fn MediaFoundationFunction(const char* name) {
  HMODULE module = LoadLibraryW(L"mfplat.dll");
  return module != nullptr ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}

}  // namespace

bool RegisterHardwareEncoder(const CLSID& clsid, const wchar_t* friendlyName) {
  const auto mftRegister = MediaFoundationFunction<RegisterFn>("MFTRegister");
  if (mftRegister == nullptr) {
    std::printf("MFTRegister unavailable (no mfplat.dll)\n");
    return false;
  }
  MFT_REGISTER_TYPE_INFO input{MFMediaType_Video, MFVideoFormat_NV12};
  MFT_REGISTER_TYPE_INFO output{MFMediaType_Video, MFVideoFormat_H264};
  std::wstring name = friendlyName;
  HRESULT result = mftRegister(clsid, MFT_CATEGORY_VIDEO_ENCODER, name.data(),
                               MFT_ENUM_FLAG_HARDWARE, 1, &input, 1, &output, nullptr);
  if (FAILED(result)) std::printf("MFTRegister failed: 0x%08lX\n", static_cast<unsigned long>(result));
  return SUCCEEDED(result);
}

void UnregisterHardwareEncoder(const CLSID& clsid) {
  if (const auto mftUnregister = MediaFoundationFunction<UnregisterFn>("MFTUnregister")) mftUnregister(clsid);
}

bool RegisterFakeHardwareEncoder() {
  return RegisterHardwareEncoder(kFakeEncoderClsid, L"Ostrel test hardware H.264 encoder");
}

void UnregisterFakeHardwareEncoder() { UnregisterHardwareEncoder(kFakeEncoderClsid); }

namespace {

// Machine-wide (HKEY_CLASSES_ROOT): the prefix is thrown away after the run,
// and Wine 8 looks classes up there only.
const std::wstring kTestTransformKey = std::wstring(L"CLSID\\") + kTestTransformClsidText;

bool SetString(HKEY key, const wchar_t* name, const std::wstring& value) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

}  // namespace

bool RegisterTestTransform(const std::wstring& dllPath) {
  HKEY key = nullptr;
  const std::wstring server = kTestTransformKey + L"\\InprocServer32";
  if (RegCreateKeyExW(HKEY_CLASSES_ROOT, server.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
      ERROR_SUCCESS) {
    std::printf("could not create the class key\n");
    return false;
  }
  const bool written = SetString(key, nullptr, dllPath) && SetString(key, L"ThreadingModel", L"Both");
  RegCloseKey(key);
  return written && RegisterHardwareEncoder(kTestTransformClsid, kTestTransformName);
}

void UnregisterTestTransform() {
  UnregisterHardwareEncoder(kTestTransformClsid);
  RegDeleteTreeW(HKEY_CLASSES_ROOT, kTestTransformKey.c_str());
}

}  // namespace ostrel::winhost
