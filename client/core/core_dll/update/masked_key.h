// The update-signing public key is never stored in plain form: the library
// holds it XOR-masked with a keystream derived from a 32-bit seed and
// rebuilds it on the stack for each verification. This only keeps the key
// from being found or patched by a plain byte search in the binary; it is not
// a secret (it is a public key).
#pragma once

#include <array>
#include <cstdint>

namespace ostrel {

struct MaskedKey {
  uint8_t masked[32];
  uint32_t seed;
};

// Constants of the mask keystream. They must match masked_key.cmake, which
// produces the masked bytes at configure time.
inline constexpr uint32_t kMaskK1 = 0x9E3779B1u;
inline constexpr uint32_t kMaskK2 = 0x85EBCA77u;
inline constexpr uint32_t kMaskK3 = 0xC2B2AE3Du;

// Mask byte for position `index` under `seed`.
constexpr uint8_t MaskByte(uint32_t seed, uint32_t index) {
  const uint32_t x = seed + index * kMaskK1;
  const uint32_t y = ((x ^ (x >> 7)) * kMaskK2) ^ (index * kMaskK3);
  return static_cast<uint8_t>((y ^ (y >> 15)) & 0xFFu);
}

// Rebuilds the plain 32-byte key.
std::array<uint8_t, 32> UnmaskKey(const MaskedKey& key);

// The update-signing key of this build, generated at configure time from
// OSTREL_UPDATE_PUBLIC_KEY (empty selects the development key).
extern const MaskedKey kUpdateMaskedKey;

}  // namespace ostrel
