#include <cstdio>
#include <vector>

#include <gtest/gtest.h>

#include "encode/ffmpeg_segment_encoder.h"

extern "C" {
#include <libavformat/avio.h>
}

namespace ostrel {
namespace {

int WriteText(MemoryWriter& writer, const std::vector<uint8_t>& data) {
  return MemoryWriter::Write(&writer, data.data(), static_cast<int>(data.size()));
}

TEST(MemoryWriterTest, WritesAppendAndOverwriteAtThePosition) {
  MemoryWriter writer;
  EXPECT_EQ(WriteText(writer, {1, 2, 3, 4}), 4);
  EXPECT_EQ(WriteText(writer, {5, 6}), 2);
  EXPECT_EQ(writer.Bytes(), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(writer.Position(), 6u);

  // Patch the middle, as the muxer does with box sizes: size stays.
  EXPECT_EQ(MemoryWriter::Seek(&writer, 1, SEEK_SET), 1);
  EXPECT_EQ(WriteText(writer, {9, 9}), 2);
  EXPECT_EQ(writer.Bytes(), (std::vector<uint8_t>{1, 9, 9, 4, 5, 6}));
  EXPECT_EQ(writer.Position(), 3u);

  // A write running past the end grows the vector.
  EXPECT_EQ(MemoryWriter::Seek(&writer, -1, SEEK_END), 5);
  EXPECT_EQ(WriteText(writer, {7, 8, 9}), 3);
  EXPECT_EQ(writer.Bytes(), (std::vector<uint8_t>{1, 9, 9, 4, 5, 7, 8, 9}));

  // Zero and negative sizes write nothing.
  EXPECT_EQ(MemoryWriter::Write(&writer, nullptr, 0), 0);
  EXPECT_EQ(MemoryWriter::Write(&writer, nullptr, -5), 0);
  EXPECT_EQ(writer.Bytes().size(), 8u);
}

TEST(MemoryWriterTest, SeekingPastTheEndLeavesAZeroFilledGapOnTheNextWrite) {
  MemoryWriter writer;
  WriteText(writer, {1});
  EXPECT_EQ(MemoryWriter::Seek(&writer, 3, SEEK_CUR), 4);
  EXPECT_EQ(writer.Bytes().size(), 1u);  // seeking alone does not grow
  WriteText(writer, {2});
  EXPECT_EQ(writer.Bytes(), (std::vector<uint8_t>{1, 0, 0, 0, 2}));
}

TEST(MemoryWriterTest, SizeQueryAndRelativeSeeks) {
  MemoryWriter writer;
  WriteText(writer, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  MemoryWriter::Seek(&writer, 2, SEEK_SET);
  EXPECT_EQ(MemoryWriter::Seek(&writer, 0, AVSEEK_SIZE), 10);
  EXPECT_EQ(MemoryWriter::Seek(&writer, 12345, AVSEEK_SIZE), 10);
  EXPECT_EQ(writer.Position(), 2u);  // the size query does not move

  EXPECT_EQ(MemoryWriter::Seek(&writer, 3, SEEK_CUR), 5);
  EXPECT_EQ(MemoryWriter::Seek(&writer, -4, SEEK_CUR), 1);
  EXPECT_EQ(MemoryWriter::Seek(&writer, 0, SEEK_END), 10);
  EXPECT_EQ(MemoryWriter::Seek(&writer, -10, SEEK_END), 0);
}

TEST(MemoryWriterTest, NegativeTargetsAndUnknownWhenceFailWithoutMoving) {
  MemoryWriter writer;
  WriteText(writer, {1, 2, 3, 4});
  MemoryWriter::Seek(&writer, 3, SEEK_SET);
  EXPECT_EQ(MemoryWriter::Seek(&writer, -1, SEEK_SET), -1);
  EXPECT_EQ(MemoryWriter::Seek(&writer, -4, SEEK_CUR), -1);
  EXPECT_EQ(MemoryWriter::Seek(&writer, -5, SEEK_END), -1);
  EXPECT_EQ(MemoryWriter::Seek(&writer, 0, 3), -1);
  EXPECT_EQ(MemoryWriter::Seek(&writer, 0, AVSEEK_FORCE | SEEK_SET), -1);
  // Overflowing targets are refused rather than wrapping.
  EXPECT_EQ(MemoryWriter::Seek(&writer, INT64_MAX, SEEK_CUR), -1);
  EXPECT_EQ(writer.Position(), 3u);
}

TEST(MemoryWriterTest, TakeBytesMovesTheBufferOut) {
  MemoryWriter writer;
  WriteText(writer, {4, 5});
  EXPECT_EQ(writer.TakeBytes(), (std::vector<uint8_t>{4, 5}));
  EXPECT_TRUE(writer.Bytes().empty());
}

}  // namespace
}  // namespace ostrel
