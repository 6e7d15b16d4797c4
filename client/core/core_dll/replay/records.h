// What the replay buffer holds: shared byte buffers, finished video segments
// and raw audio chunks.
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

namespace ostrel {

// Shared ownership of one byte vector (possibly null: zero bytes). Never
// modified once a record holding it is in a ring (const, so several records
// may hold one buffer); copying a record copies the reference.
using SharedBytes = std::shared_ptr<const std::vector<uint8_t>>;

inline uint64_t ByteCount(const SharedBytes& bytes) { return bytes ? bytes->size() : 0; }

// Where a record's bytes went when they left memory (storage/spilled_bytes.h).
struct SpilledBytes;
using SharedSpill = std::shared_ptr<const SpilledBytes>;

// startTicks + trunc(durationSeconds * 10^7).
inline int64_t EndTicksOf(int64_t startTicks, double durationSeconds) {
  return startTicks + static_cast<int64_t>(std::trunc(durationSeconds * 10000000.0));
}

// One finished video segment: a complete in-memory MP4 with one H.264 stream.
struct EncodedSegment {
  SharedBytes bytes;
  double durationSeconds = 0.0;
  uint32_t frameCount = 0;
  int64_t startTicks = 0;
  bool needsReencode = false;
  // Set (and `bytes` null) once the bytes were moved to a spill file.
  SharedSpill spilled;

  int64_t EndTicks() const { return EndTicksOf(startTicks, durationSeconds); }
};

// About 2 s of one source's raw device audio, in its ring's wave format.
struct AudioChunk {
  SharedBytes bytes;
  int64_t startTicks = 0;
  double durationSeconds = 0.0;
  // The wave format the chunk was recorded in, so that a format change
  // inside a save span never garbles earlier audio. Null: the ring's format.
  std::shared_ptr<const std::vector<uint8_t>> waveFormat;
  // Set (and `bytes` null) once the bytes were moved to a spill file.
  SharedSpill spilled;

  int64_t EndTicks() const { return EndTicksOf(startTicks, durationSeconds); }
};

// About two seconds of one AAC stream of the running mix: its packets laid
// end to end, each behind a small header (save/packet_log.h writes and
// reads them). Grid frames count 48 kHz samples from the mix's origin.
struct EncodedAudioBlock {
  SharedBytes bytes;
  int64_t startTicks = 0;
  double durationSeconds = 0.0;
  int64_t firstPts = 0;  // grid frame of the first packet
  int64_t endPts = 0;    // grid frame after the last packet
  // Set (and `bytes` null) once the bytes were moved to a spill file.
  SharedSpill spilled;

  int64_t EndTicks() const { return EndTicksOf(startTicks, durationSeconds); }
};

// The span a save covers.
struct TickSpan {
  int64_t startTicks = 0;
  int64_t endTicks = 0;
};

}  // namespace ostrel
