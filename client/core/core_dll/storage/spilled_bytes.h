// A record's bytes in a spill file, and reading them back: the one way the
// rest of the library gets at a record's bytes wherever they are.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/file_storage.h"
#include "replay/records.h"

namespace ostrel {

// A span of a spill file. The file stays open (and on disk) as long as a
// record or a save's snapshot holds a span of it.
struct SpilledBytes {
  std::shared_ptr<platform::ISpillFile> file;
  uint64_t offset = 0;
  uint64_t size = 0;
};

// Reads the span into a new buffer; throws HresultError when the file
// cannot be read.
SharedBytes ReadSpilled(const SpilledBytes& spilled);

// The same into `scratch` when nothing else holds it (a save reading its
// segments one at a time reuses one buffer and its pages), otherwise into a
// new buffer that `scratch` then holds.
SharedBytes ReadSpilledReusing(const SpilledBytes& spilled, std::shared_ptr<std::vector<uint8_t>>& scratch);

// The size of a record's bytes, in memory or spilled.
template <typename Record>
uint64_t StoredByteCount(const Record& record) {
  if (record.bytes) return record.bytes->size();
  return record.spilled ? record.spilled->size : 0;
}

// A record's bytes: its own, or read back from its spill file.
template <typename Record>
SharedBytes LoadedBytes(const Record& record) {
  if (record.bytes || !record.spilled) return record.bytes;
  return ReadSpilled(*record.spilled);
}

// A copy of the record that holds its bytes in memory.
template <typename Record>
Record WithLoadedBytes(Record record) {
  record.bytes = LoadedBytes(record);
  return record;
}

}  // namespace ostrel
