// Which bytes a capture thread's chunks get: silent ones share one zero
// buffer through cuts that jitter, a save's cut keeps its length, sound is
// copied.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "audio/silence_sharer.h"

namespace ostrel::testing {
namespace {

constexpr size_t kPacket = 480 * 8;  // 10 ms of 48 kHz stereo float

TEST(SilenceSharer, SilentChunksShareOneBufferThroughJitteredCutsAndSoundIsCopied) {
  SilenceSharer sharer(10 * kPacket);
  std::vector<uint8_t> pending(300 * kPacket, 0);
  // The bytes a chunk of `bytes` gets and how many of them it takes.
  auto take = [&](size_t bytes, bool exact = false) {
    size_t taken = bytes;
    SharedBytes result = sharer.Take(pending.data(), &taken, exact);
    EXPECT_TRUE(result && result->size() == taken) << bytes;
    return std::pair{result, taken};
  };

  const auto [shared, first] = take(200 * kPacket);
  EXPECT_EQ(first, 200 * kPacket);
  EXPECT_TRUE(std::ranges::all_of(*shared, [](uint8_t b) { return b == 0; }));
  // A packet longer: it ends where the shared buffer does.
  EXPECT_EQ(take(201 * kPacket), std::pair(shared, 200 * kPacket));
  EXPECT_EQ(take(200 * kPacket + 10 * kPacket), std::pair(shared, 200 * kPacket));
  // Shorter: a new buffer, shared from then on.
  const auto [shorter, taken] = take(199 * kPacket);
  EXPECT_NE(shorter, shared);
  EXPECT_EQ(taken, 199 * kPacket);
  EXPECT_EQ(take(200 * kPacket), std::pair(shorter, 199 * kPacket));
  // Far longer (a stalled thread): its own length, the buffer it keeps.
  const auto [longer, all] = take(210 * kPacket);
  EXPECT_EQ(all, 210 * kPacket);
  EXPECT_NE(longer, shorter);
  EXPECT_EQ(take(211 * kPacket), std::pair(longer, 210 * kPacket));
  const SharedBytes current = take(209 * kPacket).first;
  EXPECT_NE(current, longer);

  // A save's cut keeps its length and does not displace the shared buffer.
  const SharedBytes cut = take(209 * kPacket + 8, true).first;
  EXPECT_EQ(cut->size(), 209 * kPacket + 8);
  EXPECT_NE(cut, current);
  EXPECT_EQ(take(209 * kPacket).first, current);
  EXPECT_EQ(take(209 * kPacket + 8).first, current);
  EXPECT_EQ(take(209 * kPacket, true).first, current);  // the same length may share

  // One non-zero byte, even the chunk's last, makes it a copy; one past the
  // chunk does not count.
  pending[200 * kPacket - 1] = 1;
  const auto [copy, copied] = take(200 * kPacket);
  EXPECT_EQ(copied, 200 * kPacket);
  EXPECT_TRUE(std::equal(copy->begin(), copy->end(), pending.begin()));
  EXPECT_EQ(take(200 * kPacket - 1).first, take(200 * kPacket - 1).first);
  EXPECT_NE(take(200 * kPacket - 1).first, copy);
}

}  // namespace
}  // namespace ostrel::testing
