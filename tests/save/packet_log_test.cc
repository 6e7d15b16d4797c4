// The running mix's AAC packets kept in blocks: every packet comes back with
// its bytes and times whether its block is open, sealed in the ring or
// spilled; old blocks go as the kept span moves on; a block that cannot be
// read back fails the copy instead of leaving a hole.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/hresult.h"
#include "save/packet_log.h"
#include "storage/spilled_bytes.h"

namespace ostrel {
namespace {

constexpr int64_t kFrame = 1024;

// A spill file in memory that can be made to fail its reads.
class MemoryFile final : public platform::ISpillFile {
 public:
  Hresult Append(const uint8_t* data, size_t size, uint64_t* offset) override {
    *offset = bytes_.size();
    bytes_.insert(bytes_.end(), data, data + size);
    return hr::kOk;
  }
  Hresult ReadAt(uint64_t offset, uint8_t* data, size_t size) override {
    if (failReads || offset + size > bytes_.size()) return hr::kWriteFault;
    std::memcpy(data, bytes_.data() + offset, size);
    return hr::kOk;
  }
  bool failReads = false;

 private:
  std::vector<uint8_t> bytes_;
};

// Packet n: pts n * 1024, its bytes n repeated (n % 7 + 1) * 50 times,
// every fifth a key packet.
void AppendPacket(PacketLog& log, int n, int64_t keepFromPts = INT64_MIN) {
  std::vector<uint8_t> data(static_cast<size_t>(n % 7 + 1) * 50, static_cast<uint8_t>(n));
  AVPacket* packet = av_packet_alloc();
  ASSERT_NE(packet, nullptr);
  ASSERT_EQ(av_new_packet(packet, static_cast<int>(data.size())), 0);
  std::memcpy(packet->data, data.data(), data.size());
  packet->pts = packet->dts = n * kFrame;
  packet->duration = kFrame;
  packet->flags = n % 5 == 0 ? AV_PKT_FLAG_KEY : 0;
  log.Append(*packet, keepFromPts);
  av_packet_free(&packet);
}

void ExpectPackets(const std::vector<ffmpeg::PacketPtr>& packets, int first, int end) {
  ASSERT_EQ(packets.size(), static_cast<size_t>(end - first));
  for (int n = first; n < end; ++n) {
    const AVPacket& packet = *packets[static_cast<size_t>(n - first)];
    SCOPED_TRACE(n);
    EXPECT_EQ(packet.pts, n * kFrame);
    EXPECT_EQ(packet.dts, n * kFrame);
    EXPECT_EQ(packet.duration, kFrame);
    EXPECT_EQ(packet.flags, n % 5 == 0 ? AV_PKT_FLAG_KEY : 0);
    ASSERT_EQ(packet.size, (n % 7 + 1) * 50);
    EXPECT_EQ(std::vector<uint8_t>(packet.data, packet.data + packet.size),
              std::vector<uint8_t>(static_cast<size_t>(packet.size), static_cast<uint8_t>(n)));
  }
}

TEST(PacketLog, PacketsComeBackWholeFromOpenSealedAndSpilledBlocks) {
  EncodedAudioRing ring;
  PacketLog log(ring, 5000);
  EXPECT_FALSE(log.FrontPts().has_value());
  const int count = 3 * static_cast<int>(PacketLog::kBlockPackets) + 10;
  for (int n = 0; n < count; ++n) AppendPacket(log, n);
  EXPECT_EQ(ring.Size(), 3u);  // the last ten still in the open block
  EXPECT_EQ(log.FrontPts(), 0);
  // About a header beyond the packet's own bytes each, counted by the ring.
  uint64_t sealedBytes = 0;
  for (int n = 0; n < 3 * static_cast<int>(PacketLog::kBlockPackets); ++n) sealedBytes += (n % 7 + 1) * 50 + 24;
  EXPECT_LE(ring.ResidentBytes(), sealedBytes);
  EXPECT_GE(ring.ResidentBytes(), sealedBytes - 3 * PacketLog::kBlockPackets * 8);

  // Blocks start at their first packet's instant on the replay's clock.
  const EncodedAudioRing::Snapshot blocks = ring.TakeSnapshot(TickSpan{INT64_MIN, INT64_MAX});
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_EQ(blocks[1].firstPts, static_cast<int64_t>(PacketLog::kBlockPackets) * kFrame);
  EXPECT_EQ(blocks[1].startTicks, 5000 + blocks[1].firstPts * 10000000 / 48000);

  ExpectPackets(log.Copy(0, INT64_MAX), 0, count);
  ExpectPackets(log.Copy(90 * kFrame, 290 * kFrame), 90, 290);  // across every block and the open one
  ExpectPackets(log.Copy(100 * kFrame + 1, 101 * kFrame + 1), 101, 102);

  // The first two blocks spilled: the same packets come back.
  auto file = std::make_shared<MemoryFile>();
  for (int i = 0; i < 2; ++i) {
    const std::optional<StoredRing::Resident> oldest = ring.OldestResident();
    ASSERT_TRUE(oldest.has_value());
    uint64_t offset = 0;
    ASSERT_EQ(file->Append(oldest->bytes->data(), oldest->bytes->size(), &offset), hr::kOk);
    ASSERT_TRUE(ring.MarkSpilled(oldest->sequence, oldest->bytes,
                                 std::make_shared<const SpilledBytes>(SpilledBytes{file, offset, oldest->bytes->size()})));
  }
  EXPECT_LT(ring.ResidentBytes(), sealedBytes / 2);
  ExpectPackets(log.Copy(0, INT64_MAX), 0, count);
  ExpectPackets(log.Copy(50 * kFrame, 150 * kFrame), 50, 150);
  // A spilled block that cannot be read fails the copy; one not reached is
  // not read at all.
  file->failReads = true;
  EXPECT_THROW(log.Copy(0, INT64_MAX), HresultError);
  ExpectPackets(log.Copy(250 * kFrame, INT64_MAX), 250, count);

  log.Clear();
  EXPECT_EQ(ring.Size(), 0u);
  EXPECT_FALSE(log.FrontPts().has_value());
  EXPECT_TRUE(log.Copy(0, INT64_MAX).empty());
}

TEST(PacketLog, BlocksGoOnceTheKeptSpanHasMovedPastThemAndThePacketBeforeItStays) {
  EncodedAudioRing ring;
  PacketLog log(ring, 0);
  const int block = static_cast<int>(PacketLog::kBlockPackets);
  for (int n = 0; n < 5 * block; ++n) AppendPacket(log, n, (n - 2 * block - 10) * kFrame);
  // Kept from packet 3 * block - 10 on when the last block was sealed: the
  // first two blocks went, the third (holding the packet before) stays.
  EXPECT_EQ(log.FrontPts(), 2 * block * kFrame);
  EXPECT_EQ(ring.Size(), 3u);
  ExpectPackets(log.Copy(0, INT64_MAX), 2 * block, 5 * block);
  // The newest block stays whatever the span says.
  for (int n = 5 * block; n < 6 * block; ++n) AppendPacket(log, n, 100 * block * kFrame);
  EXPECT_EQ(ring.Size(), 1u);
  ExpectPackets(log.Copy(0, INT64_MAX), 5 * block, 6 * block);
}

}  // namespace
}  // namespace ostrel
