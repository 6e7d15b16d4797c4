// A hardware H.264 encoder transform listed in the registry of the test's
// Wine prefix, so the library's hardware check passes through the same
// MFTEnumEx call a real machine answers. Nothing ever activates it: the
// encoder chain falls through to OpenH264.
#pragma once

#include <windows.h>

#include <string>

namespace ostrel::winhost {

// MFTRegister of `clsid` as a hardware H.264 encoder (NV12 in, H.264 out)
// under `friendlyName`; true on success. mfplat.dll is loaded at run time:
// false without it.
bool RegisterHardwareEncoder(const CLSID& clsid, const wchar_t* friendlyName);
void UnregisterHardwareEncoder(const CLSID& clsid);

// MFTRegister with MFT_ENUM_FLAG_HARDWARE (NV12 in, H.264 out); true on success.
bool RegisterFakeHardwareEncoder();
void UnregisterFakeHardwareEncoder();

// The asynchronous test transform (tests/windows/transform) as a hardware
// encoder of the prefix: its COM class (in-process server `dllPath`, any
// apartment) and its MFTRegister entry. Unregister removes both.
bool RegisterTestTransform(const std::wstring& dllPath);
void UnregisterTestTransform();

}  // namespace ostrel::winhost
