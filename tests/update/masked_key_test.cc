#include "update/masked_key.h"

#include <algorithm>

#include "update_test_support.h"

namespace ostrel::update_test {
namespace {

// The masked bytes come from CMake arithmetic at configure time, the unmasking
// from C++ at run time; this is where the two must meet.
TEST(MaskedKey, GeneratedRecordUnmasksToConfiguredKey) {
  const std::array<uint8_t, 32> key = UnmaskKey(kUpdateMaskedKey);
  EXPECT_EQ(HexText(key.data(), key.size()), OSTREL_UPDATE_PUBLIC_KEY_HEX);
}

TEST(MaskedKey, DevelopmentBuildEmbedsPublicHalfOfFixtureKey) {
  OSTREL_REQUIRE_DEVELOPMENT_KEY();
  const std::array<uint8_t, 32> key = UnmaskKey(kUpdateMaskedKey);
  EXPECT_EQ(key, Signer::Development().publicKey());
}

TEST(MaskedKey, PlainKeyIsNotStored) {
  const std::array<uint8_t, 32> key = UnmaskKey(kUpdateMaskedKey);
  const std::vector<uint8_t> plain = FromHex(OSTREL_UPDATE_PUBLIC_KEY_HEX);
  const uint8_t* masked = kUpdateMaskedKey.masked;
  // Neither the key nor any 8-byte run of it appears in the record.
  for (size_t start = 0; start + 8 <= plain.size(); ++start) {
    EXPECT_EQ(std::search(masked, masked + 32, plain.begin() + start, plain.begin() + start + 8),
              masked + 32)
        << "run at " << start;
  }
  // And the mask really depends on the seed: another seed gives another key.
  MaskedKey reseeded = kUpdateMaskedKey;
  reseeded.seed ^= 1;
  EXPECT_NE(UnmaskKey(reseeded), key);
}

}  // namespace
}  // namespace ostrel::update_test
