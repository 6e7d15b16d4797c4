// Parallel AAC slices against one encoder: same packets, same sound, no
// click or gap at a join.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "save/aac_slices.h"
#include "support/aac_signal.h"

namespace ostrel {
namespace {

using testing::Decode;
using testing::ExpectSeamless;
using testing::MusicLike;
using testing::SnrDb;
constexpr int kRate = testing::kAacTestRate;

TEST(AacSlices, SlicedEncodingMatchesOneEncoderInPacketsAndSoundAtEveryJoin) {
  // Not a whole number of encoder frames: the last frame is a short one.
  const size_t frames = 12 * kRate + 333;
  const std::vector<float> source = MusicLike(frames);
  const auto whole = EncodeAacInSlices(source.data(), frames, 1);
  const unsigned slices = 3;
  const auto sliced = EncodeAacInSlices(source.data(), frames, slices);

  // Consecutive frames from the priming one on, the last one short and
  // ending with the mix.
  ASSERT_EQ(sliced.size(), whole.size());
  EXPECT_EQ(sliced.front()->pts, -1024);
  for (size_t i = 1; i < sliced.size(); ++i) EXPECT_EQ(sliced[i]->pts, sliced[i - 1]->pts + 1024) << i;
  EXPECT_EQ(sliced.back()->pts + sliced.back()->duration, static_cast<int64_t>(frames));
  EXPECT_EQ(whole.back()->pts + whole.back()->duration, static_cast<int64_t>(frames));

  const std::vector<float> fromWhole = Decode(whole), fromSliced = Decode(sliced);
  ASSERT_GE(fromSliced.size(), source.size());

  const double wholeSnr = SnrDb(source, fromWhole, 4800, frames - 4800);
  const double slicedSnr = SnrDb(source, fromSliced, 4800, frames - 4800);
  EXPECT_GT(slicedSnr, 25.0);
  EXPECT_NEAR(slicedSnr, wholeSnr, 1.0);

  const int64_t encoderFrames = (static_cast<int64_t>(frames) + 1023) / 1024;
  for (unsigned j = 1; j < slices; ++j) {
    ExpectSeamless(source, fromSliced, encoderFrames * j / slices * 1024, wholeSnr - 6.0);
  }
}

TEST(AacSlices, ShortOrEmptyMixesAreNotCutAndNoCoreTakesTwoSlices) {
  EXPECT_EQ(AacSliceCount(4 * kRate, 8), 1u);
  EXPECT_EQ(AacSliceCount(60 * kRate, 2), 2u);
  EXPECT_TRUE(EncodeAacInSlices(nullptr, 0, 2).empty());
}

}  // namespace
}  // namespace ostrel
