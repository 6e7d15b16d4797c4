// One AAC stream of the running mix, kept for the replay length in little
// memory: packets laid end to end in blocks of about two seconds, each block
// a record of a ring that the replay storage counts within the memory limit
// and moves to the spill files with the rest of the older replay. (As one
// AVPacket each, three streams took about 5 MB a minute, outside the limit.)
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "ffmpeg/ffmpeg_ptr.h"
#include "replay/record_ring.h"

namespace ostrel {

class EncodedAudioRing : public RecordRing<EncodedAudioBlock> {};

class PacketLog {
 public:
  // Packets per block: about two seconds at 48 kHz.
  static constexpr size_t kBlockPackets = 94;

  // `ring` takes the sealed blocks; grid frame 0 is `originTicks`.
  PacketLog(EncodedAudioRing& ring, int64_t originTicks) : ring_(ring), origin_(originTicks) {}
  PacketLog(const PacketLog&) = delete;
  PacketLog& operator=(const PacketLog&) = delete;

  // Appends a copy of the packet (pts and duration in grid frames). A full
  // block goes to the ring, which lets go of the blocks ending well before
  // `keepFromPts`.
  void Append(const AVPacket& packet, int64_t keepFromPts);
  // Forgets every packet (the ring's blocks too).
  void Clear();
  // The oldest packet's pts; none when empty.
  std::optional<int64_t> FrontPts() const;
  // Copies of the packets with pts in [fromPts, beforePts), oldest first.
  // Spilled blocks are read back: throws HresultError when one cannot be.
  std::vector<ffmpeg::PacketPtr> Copy(int64_t fromPts, int64_t beforePts) const;

 private:
  int64_t TicksOf(int64_t pts) const;
  void Seal(int64_t keepFromPts);

  EncodedAudioRing& ring_;
  const int64_t origin_;
  std::vector<uint8_t> open_;  // the block being filled
  int64_t openFirstPts_ = 0;
  int64_t openEndPts_ = 0;
  size_t openPackets_ = 0;
};

}  // namespace ostrel
