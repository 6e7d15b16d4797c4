#include "save/packet_log.h"

#include <cstring>
#include <new>

#include "save/audio_mix.h"
#include "storage/spilled_bytes.h"

namespace ostrel {
namespace {

// Each packet in a block: this header, then its bytes. No padding: every
// byte written to a spill file is set.
struct PacketHeader {
  int64_t pts;
  int32_t duration;
  int32_t flags;
  uint32_t size;
  uint32_t reserved;
};
static_assert(sizeof(PacketHeader) == 24);

constexpr int64_t kTicksPerSecond = 10000000;

// Calls `take(header, data)` for each packet of a block.
template <typename Take>
void ForEachPacket(const std::vector<uint8_t>& block, Take take) {
  size_t at = 0;
  while (at + sizeof(PacketHeader) <= block.size()) {
    PacketHeader header{};
    std::memcpy(&header, block.data() + at, sizeof header);
    at += sizeof header;
    if (header.size > block.size() - at) break;
    take(header, block.data() + at);
    at += header.size;
  }
}

}  // namespace

// Saturates for the open ends of a span (INT64_MIN, INT64_MAX).
int64_t PacketLog::TicksOf(int64_t pts) const {
  constexpr int64_t kLimit = INT64_MAX / kTicksPerSecond / 2;
  if (pts >= kLimit) return INT64_MAX;
  if (pts <= -kLimit) return INT64_MIN;
  return origin_ + pts * kTicksPerSecond / kMixRate;
}

void PacketLog::Append(const AVPacket& packet, int64_t keepFromPts) {
  if (openPackets_ == 0) {
    openFirstPts_ = packet.pts;
    open_.reserve(kBlockPackets * (sizeof(PacketHeader) + static_cast<size_t>(packet.size) + 64));
  }
  const PacketHeader header{packet.pts, static_cast<int32_t>(packet.duration), packet.flags,
                            static_cast<uint32_t>(packet.size), 0};
  const auto* raw = reinterpret_cast<const uint8_t*>(&header);
  open_.insert(open_.end(), raw, raw + sizeof header);
  open_.insert(open_.end(), packet.data, packet.data + packet.size);
  openEndPts_ = packet.pts + packet.duration;
  if (++openPackets_ >= kBlockPackets) Seal(keepFromPts);
}

void PacketLog::Seal(int64_t keepFromPts) {
  open_.shrink_to_fit();  // the ring holds it for the replay length
  EncodedAudioBlock block;
  block.bytes = std::make_shared<const std::vector<uint8_t>>(std::move(open_));
  block.startTicks = TicksOf(openFirstPts_);
  block.durationSeconds = static_cast<double>(openEndPts_ - openFirstPts_) / kMixRate;
  block.firstPts = openFirstPts_;
  block.endPts = openEndPts_;
  open_ = {};
  openPackets_ = 0;
  // A block ending two AAC frames before the oldest packet kept is never
  // reached again (the packet just before it, the decoder's priming, is in
  // a later block).
  ring_.AppendWithCutoff(std::move(block), keepFromPts == INT64_MIN ? INT64_MIN : TicksOf(keepFromPts - 2048));
}

void PacketLog::Clear() {
  ring_.Clear();
  open_ = {};
  openPackets_ = 0;
}

std::optional<int64_t> PacketLog::FrontPts() const {
  const std::optional<int64_t> front = ring_.FrontStart();
  if (front) {
    // The ring's front block starts at its first packet's ticks; read its
    // pts from the block itself.
    const EncodedAudioRing::Snapshot first = ring_.TakeSnapshot(TickSpan{*front - 1, *front + 1});
    if (!first.empty()) return first.front().firstPts;
  }
  if (openPackets_ > 0) return openFirstPts_;
  return std::nullopt;
}

std::vector<ffmpeg::PacketPtr> PacketLog::Copy(int64_t fromPts, int64_t beforePts) const {
  std::vector<ffmpeg::PacketPtr> packets;
  auto take = [&](const PacketHeader& header, const uint8_t* data) {
    if (header.pts < fromPts || header.pts >= beforePts) return;
    ffmpeg::PacketPtr packet(av_packet_alloc());
    if (!packet || av_new_packet(packet.get(), static_cast<int>(header.size)) < 0) throw std::bad_alloc();
    std::memcpy(packet->data, data, header.size);
    packet->pts = packet->dts = header.pts;
    packet->duration = header.duration;
    packet->flags = header.flags;
    packets.push_back(std::move(packet));
  };
  const int64_t from = TicksOf(fromPts), before = TicksOf(beforePts);
  const TickSpan span{from == INT64_MIN ? from : from - 1, before == INT64_MAX ? before : before + 1};
  for (const EncodedAudioBlock& block : ring_.TakeSnapshot(span)) {
    if (block.endPts <= fromPts || block.firstPts >= beforePts) continue;
    const SharedBytes bytes = LoadedBytes(block);
    if (bytes) ForEachPacket(*bytes, take);
  }
  if (openPackets_ > 0) ForEachPacket(open_, take);
  return packets;
}

}  // namespace ostrel
