// The Windows GPU backend (DXGI + Direct3D 11) seen from the rest of the
// Windows backend: the capture side wraps the textures the capture service
// hands out and reaches the native device and textures behind the platform
// interfaces.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/gpu.h"

struct ID3D11Device;
struct ID3D11Texture2D;

namespace ostrel::win {

// A platform texture over a Direct3D 11 texture; takes its own reference.
// Null for a null texture.
std::shared_ptr<platform::ITexture> WrapTexture(ID3D11Texture2D* texture);

// A BGRA texture of `device` (default usage) holding a copy of `pixels`
// (`height` rows of `pitch` bytes), made without the immediate context, so
// any thread may call it. On a device without a video processor it lives in
// system memory, where the CPU conversion reads it without a GPU round trip.
Hresult CreateTextureWithPixels(platform::IGpuDevice& device, uint32_t width, uint32_t height, const uint8_t* pixels,
                                uint32_t pitch, std::shared_ptr<platform::ITexture>* out);

// The Direct3D objects behind platform objects of this backend (borrowed,
// no reference added); null for objects of another backend and for
// textures kept in system memory.
ID3D11Device* NativeDevice(platform::IGpuDevice& device);
ID3D11Texture2D* NativeTexture(platform::ITexture& texture);

}  // namespace ostrel::win
