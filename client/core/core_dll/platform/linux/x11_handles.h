// The HWND-typed and HMONITOR-typed handles of this backend carry X11 ids:
// a window's XID, a RandR output's id (or the root window's, for a screen
// without RandR outputs).
#pragma once

#include <cstdint>

#include "platform/gpu.h"

namespace ostrel::linuxp {

inline uint32_t XidOf(void* handle) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle)); }
inline void* HandleOf(uint32_t xid) { return reinterpret_cast<void*>(static_cast<uintptr_t>(xid)); }

// The largest texture side this backend creates.
constexpr uint32_t kMaxTextureExtent = 16384;

}  // namespace ostrel::linuxp
