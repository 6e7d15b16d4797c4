#include "storage/spilled_bytes.h"

#include <vector>

namespace ostrel {

SharedBytes ReadSpilled(const SpilledBytes& spilled) {
  std::shared_ptr<std::vector<uint8_t>> fresh;
  return ReadSpilledReusing(spilled, fresh);
}

SharedBytes ReadSpilledReusing(const SpilledBytes& spilled, std::shared_ptr<std::vector<uint8_t>>& scratch) {
  if (!spilled.file) throw HresultError(hr::kFileNotFound, "spilled bytes without a file");
  if (!scratch || scratch.use_count() != 1) scratch = std::make_shared<std::vector<uint8_t>>();
  scratch->resize(static_cast<size_t>(spilled.size));
  const Hresult read = spilled.file->ReadAt(spilled.offset, scratch->data(), scratch->size());
  if (Failed(read)) throw HresultError(read, "a spilled part of the replay could not be read back");
  return scratch;
}

}  // namespace ostrel
