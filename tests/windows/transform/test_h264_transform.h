// The class id and name of the Wine tests' asynchronous hardware H.264
// encoder transform (test_h264_transform.cc), shared with the test host
// that registers it.
#pragma once

#include <windows.h>

namespace ostrel::winhost {

// {8C2B7E55-0B0A-4C59-9C55-2B0C6D1E7A31}
constexpr CLSID kTestTransformClsid = {0x8c2b7e55, 0x0b0a, 0x4c59, {0x9c, 0x55, 0x2b, 0x0c, 0x6d, 0x1e, 0x7a, 0x31}};
constexpr const wchar_t* kTestTransformClsidText = L"{8C2B7E55-0B0A-4C59-9C55-2B0C6D1E7A31}";
constexpr const wchar_t* kTestTransformName = L"Ostrel test hardware H.264 encoder (OpenH264)";

}  // namespace ostrel::winhost
