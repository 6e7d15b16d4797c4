#include "storage/spilled_bytes.h"

#include <vector>

namespace ostrel {

SharedBytes ReadSpilled(const SpilledBytes& spilled) {
  if (!spilled.file) throw HresultError(hr::kFileNotFound, "spilled bytes without a file");
  auto bytes = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(spilled.size));
  const Hresult read = spilled.file->ReadAt(spilled.offset, bytes->data(), bytes->size());
  if (Failed(read)) throw HresultError(read, "a spilled part of the replay could not be read back");
  return bytes;
}

}  // namespace ostrel
