// A hardware H.264 encoder transform listed in the registry of the test's
// Wine prefix, so the library's hardware check passes through the same
// MFTEnumEx call a real machine answers. Nothing ever activates it: the
// encoder chain falls through to OpenH264.
#pragma once

namespace ostrel::winhost {

// MFTRegister with MFT_ENUM_FLAG_HARDWARE (NV12 in, H.264 out); true on success.
bool RegisterFakeHardwareEncoder();
void UnregisterFakeHardwareEncoder();

}  // namespace ostrel::winhost
