#include "encode/bounded_map_retry.h"

#include <chrono>

#include <gtest/gtest.h>

namespace ostrel {
namespace {

using std::chrono::milliseconds;

TEST(BoundedMapRetryTest, RetriesUntilTheMapSucceeds) {
  int attempts = 0;
  const int result = bounded_map_retry(
      [&] { return ++attempts < 3 ? hr::kDxgiWasStillDrawing : hr::kOk; }, milliseconds(5000), milliseconds(1));
  EXPECT_EQ(result, kBoundedMapMapped);
  EXPECT_EQ(attempts, 3);

  // Any success code counts as mapped.
  attempts = 0;
  EXPECT_EQ(bounded_map_retry([&] { return ++attempts, hr::kFalse; }, milliseconds(100), milliseconds(1)),
            kBoundedMapMapped);
  EXPECT_EQ(attempts, 1);
}

TEST(BoundedMapRetryTest, GivesUpOnceTheLimitHasPassed) {
  int attempts = 0;
  const auto start = std::chrono::steady_clock::now();
  const int result =
      bounded_map_retry([&] { return ++attempts, hr::kDxgiWasStillDrawing; }, milliseconds(30), milliseconds(2));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(result, kBoundedMapGaveUp);
  EXPECT_GE(elapsed, milliseconds(30));
  EXPECT_GE(attempts, 2);
  // Polls at the interval: never more attempts than the limit allows.
  EXPECT_LE(attempts, 16 + 1);
}

TEST(BoundedMapRetryTest, MakesTheFirstAttemptEvenWithAZeroLimit) {
  int attempts = 0;
  EXPECT_EQ(bounded_map_retry([&] { return ++attempts, hr::kDxgiWasStillDrawing; }, milliseconds(0),
                              milliseconds(50)),
            kBoundedMapGaveUp);
  EXPECT_EQ(attempts, 1);
  attempts = 0;
  EXPECT_EQ(bounded_map_retry([&] { return ++attempts, hr::kOk; }, milliseconds(0), milliseconds(50)),
            kBoundedMapMapped);
  EXPECT_EQ(attempts, 1);
}

TEST(BoundedMapRetryTest, ThrowsOtherFailuresAtOnce) {
  int attempts = 0;
  try {
    bounded_map_retry([&] { return ++attempts == 1 ? hr::kDxgiWasStillDrawing : hr::kDxgiDeviceRemoved; },
                      milliseconds(1000), milliseconds(1));
    FAIL() << "expected HresultError";
  } catch (const HresultError& error) {
    EXPECT_EQ(error.code(), hr::kDxgiDeviceRemoved);
  }
  EXPECT_EQ(attempts, 2);
}

}  // namespace
}  // namespace ostrel
