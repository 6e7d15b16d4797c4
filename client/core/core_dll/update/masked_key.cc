#include "update/masked_key.h"

namespace ostrel {

std::array<uint8_t, 32> UnmaskKey(const MaskedKey& key) {
  std::array<uint8_t, 32> plain{};
  for (uint32_t i = 0; i < plain.size(); ++i) {
    plain[i] = static_cast<uint8_t>(key.masked[i] ^ MaskByte(key.seed, i));
  }
  return plain;
}

}  // namespace ostrel
