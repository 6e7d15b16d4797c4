// The replay in bounded memory: the newest part that fits without a folder,
// the older part spilled on the writer's thread and read back unchanged,
// files let go as their records leave, and a writer that stalls or fails
// costing the appending thread nothing but the oldest replay.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

#include "replay/audio_ring.h"
#include "replay/record_ring.h"
#include "storage/replay_storage.h"
#include "storage/spilled_bytes.h"

namespace ostrel {
namespace {

constexpr uint64_t kMiB = 1ull << 20;
constexpr int64_t kSecond = 10000000;

// In-memory spill files with a gate that blocks or fails writes, and a
// record of the threads that wrote.
class FakeFiles final : public platform::IFileStorage {
 public:
  struct State {
    std::mutex mutex;
    std::condition_variable changed;
    bool block = false;
    Hresult fail = hr::kOk;
    size_t failAbove = 0;  // writes of this size or less succeed
    int blocked = 0;
    std::atomic<int> open{0};
    std::atomic<int> created{0};
    std::set<std::thread::id> writers;
  };

  class File final : public platform::ISpillFile {
   public:
    explicit File(State& state) : state_(state) { state_.open.fetch_add(1); }
    ~File() override { state_.open.fetch_sub(1); }
    Hresult Append(const uint8_t* data, size_t size, uint64_t* offset) override {
      std::unique_lock lock(state_.mutex);
      state_.writers.insert(std::this_thread::get_id());
      ++state_.blocked;
      state_.changed.notify_all();
      state_.changed.wait(lock, [&] { return !state_.block; });
      --state_.blocked;
      if (Failed(state_.fail) && size > state_.failAbove) return state_.fail;
      *offset = bytes_.size();
      bytes_.insert(bytes_.end(), data, data + size);
      return hr::kOk;
    }
    Hresult ReadAt(uint64_t offset, uint8_t* data, size_t size) override {
      std::lock_guard lock(state_.mutex);
      if (offset + size > bytes_.size()) return hr::kHandleEof;
      std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), size, data);
      return hr::kOk;
    }

   private:
    State& state_;
    std::vector<uint8_t> bytes_;
  };

  Hresult PrepareFolder(const std::wstring&, std::wstring*) override { return hr::kOk; }
  size_t RemoveLeftovers(const std::wstring&) override { return 0; }
  Hresult CreateSpillFile(const std::wstring&, std::unique_ptr<platform::ISpillFile>* file) override {
    state.created.fetch_add(1);
    *file = std::make_unique<File>(state);
    return hr::kOk;
  }

  void Block(bool block) {
    {
      std::lock_guard lock(state.mutex);
      state.block = block;
    }
    state.changed.notify_all();
  }
  void Fail(Hresult status) { FailAbove(status, 0); }
  void FailAbove(Hresult status, size_t size) {
    std::lock_guard lock(state.mutex);
    state.fail = status;
    state.failAbove = size;
  }

  State state;
};

// Each record's bytes are filled with its number, so a read back shows
// which record it came from.
EncodedSegment Segment(int index, size_t bytes) {
  EncodedSegment segment;
  segment.startTicks = index * 2 * kSecond;
  segment.durationSeconds = 2.0;
  segment.frameCount = 60;
  segment.bytes = std::make_shared<std::vector<uint8_t>>(bytes, static_cast<uint8_t>(index));
  return segment;
}

AudioChunk Chunk(int index, size_t bytes) {
  AudioChunk chunk;
  chunk.startTicks = index * 2 * kSecond;
  chunk.durationSeconds = 2.0;
  chunk.bytes = std::make_shared<std::vector<uint8_t>>(bytes, static_cast<uint8_t>(100 + index));
  return chunk;
}

template <typename Predicate>
bool WaitUntil(Predicate predicate, std::chrono::seconds timeout = std::chrono::seconds(10)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!predicate()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

class ReplayStorageTest : public ::testing::Test {
 protected:
  void Start(const std::wstring& folder, int limitMB) {
    storage.Start(ReplayStorageSettings{folder, limitMB}, 1800.0, files,
                  [this](const std::wstring& line) {
                    std::lock_guard lock(linesMutex);
                    lines.push_back(line);
                  });
  }
  size_t LinesWith(const std::wstring& text) {
    std::lock_guard lock(linesMutex);
    return static_cast<size_t>(
        std::count_if(lines.begin(), lines.end(), [&](const std::wstring& line) { return line.find(text) != std::wstring::npos; }));
  }
  void TearDown() override {
    files.Block(false);
    storage.Stop();
  }

  SegmentRing video;
  AudioRing desktop;
  AudioRing mic;
  FakeFiles files;
  ReplayStorage storage{{&video, &desktop, &mic}};
  std::mutex linesMutex;
  std::vector<std::wstring> lines;
};

TEST_F(ReplayStorageTest, WithoutAFolderTheNewestPartThatFitsStaysAndTheLogSaysHowLong) {
  Start(L"", 10);
  for (int i = 0; i < 20; ++i) {
    video.AppendWithCutoff(Segment(i, kMiB), INT64_MIN);
    desktop.AppendWithCutoff(Chunk(i, kMiB / 2), INT64_MIN);
  }
  EXPECT_LE(storage.ResidentBytes(), 10 * kMiB);
  EXPECT_GT(storage.ResidentBytes(), 8 * kMiB);
  // The oldest of every ring went; what stays is one unbroken newest span.
  const auto held = video.TakeSnapshot({INT64_MIN, INT64_MAX});
  ASSERT_FALSE(held.empty());
  EXPECT_EQ(held.back().startTicks, 19 * 2 * kSecond);
  for (size_t i = 1; i < held.size(); ++i) EXPECT_EQ(held[i].startTicks, held[i - 1].EndTicks());
  const auto audio = desktop.TakeSnapshot({INT64_MIN, INT64_MAX});
  ASSERT_FALSE(audio.empty());
  EXPECT_LE(std::llabs(audio.front().startTicks - held.front().startTicks), 2 * kSecond);
  EXPECT_GE(LinesWith(L"[REPLAY-STORAGE] memory limit 10 MB reached: the replay holds the newest "), 1u);
  EXPECT_EQ(files.state.created.load(), 0);
  EXPECT_GT(storage.GetStats().droppedRecords, 0u);
}

TEST_F(ReplayStorageTest, NoLimitKeepsEverythingInMemory) {
  Start(L"/unused", 0);
  for (int i = 0; i < 8; ++i) video.AppendWithCutoff(Segment(i, kMiB), INT64_MIN);
  EXPECT_EQ(video.Size(), 8u);
  EXPECT_EQ(storage.ResidentBytes(), 8 * kMiB);
  EXPECT_EQ(files.state.created.load(), 0);
  EXPECT_FALSE(storage.Spilling());
}

TEST_F(ReplayStorageTest, TheOlderPartIsSpilledOnTheWritersThreadAndReadsBackUnchanged) {
  Start(L"/spill", 4);
  for (int i = 0; i < 12; ++i) {  // at the pace the writer keeps
    video.AppendWithCutoff(Segment(i, kMiB), INT64_MIN);
    mic.AppendWithCutoff(Chunk(i, kMiB / 4), INT64_MIN);
    ASSERT_TRUE(WaitUntil([&] { return storage.ResidentBytes() <= 4 * kMiB; }));
  }
  EXPECT_EQ(video.Size(), 12u);  // nothing lost, only moved
  EXPECT_EQ(mic.Size(), 12u);
  {
    std::lock_guard lock(files.state.mutex);
    ASSERT_EQ(files.state.writers.size(), 1u);
    EXPECT_NE(*files.state.writers.begin(), std::this_thread::get_id());
  }
  // A snapshot across the boundary: spilled records first, then resident
  // ones; every record reads back as what was appended.
  const auto snapshot = video.TakeSnapshot({INT64_MIN, INT64_MAX});
  ASSERT_EQ(snapshot.size(), 12u);
  EXPECT_FALSE(snapshot.front().bytes);
  EXPECT_TRUE(snapshot.front().spilled);
  EXPECT_TRUE(snapshot.back().bytes);
  for (size_t i = 0; i < snapshot.size(); ++i) {
    EXPECT_EQ(StoredByteCount(snapshot[i]), kMiB);
    const SharedBytes bytes = LoadedBytes(snapshot[i]);
    ASSERT_TRUE(bytes);
    ASSERT_EQ(bytes->size(), kMiB);
    EXPECT_EQ(bytes->front(), static_cast<uint8_t>(i));
    EXPECT_EQ(bytes->back(), static_cast<uint8_t>(i));
  }
  const auto chunks = mic.TakeSnapshot({INT64_MIN, INT64_MAX});
  EXPECT_EQ(LoadedBytes(chunks.front())->front(), 100);
  const ReplayStorage::Stats stats = storage.GetStats();
  EXPECT_GE(stats.spilledBytes, 8 * kMiB);
  EXPECT_EQ(stats.givenUpRecords, 0u);
  EXPECT_EQ(stats.droppedRecords, 0u);
}

TEST_F(ReplayStorageTest, SpillFilesGoWhenTheirRecordsLeaveTheReplayAndNoSnapshotHoldsThem) {
  Start(L"/spill", 2);
  for (int i = 0; i < 6; ++i) video.AppendWithCutoff(Segment(i, kMiB), INT64_MIN);
  ASSERT_TRUE(WaitUntil([&] { return storage.ResidentBytes() <= 2 * kMiB; }));
  EXPECT_EQ(files.state.open.load(), 1);
  auto snapshot = video.TakeSnapshot({INT64_MIN, INT64_MAX});
  storage.Stop();  // the writer lets go of its file
  video.AppendWithCutoff(Segment(6, kMiB), 6 * 2 * kSecond);  // ages out every spilled record
  EXPECT_EQ(files.state.open.load(), 1);  // the save's snapshot still reads it
  EXPECT_EQ(LoadedBytes(snapshot.front())->front(), 0);
  EXPECT_EQ(LoadedBytes(snapshot[3])->front(), 3);
  video.Clear();
  EXPECT_EQ(files.state.open.load(), 1);
  snapshot.clear();
  EXPECT_EQ(files.state.open.load(), 0);
}

TEST_F(ReplayStorageTest, RecordsSharingOneBufferAreWrittenOnce) {
  Start(L"/spill", 1);
  auto silence = std::make_shared<const std::vector<uint8_t>>(kMiB / 2, uint8_t{0});
  for (int i = 0; i < 10; ++i) {
    AudioChunk chunk = Chunk(i, 0);
    chunk.bytes = silence;
    desktop.AppendWithCutoff(chunk, INT64_MIN);
  }
  ASSERT_TRUE(WaitUntil([&] { return storage.ResidentBytes() <= kMiB; }));
  EXPECT_EQ(storage.GetStats().spillWrites, 1u);
  // The recorded stream counts the buffer once too, as the disk sees it; a
  // new buffer after it counts again.
  desktop.AppendWithCutoff(Chunk(10, kMiB / 4), INT64_MIN);
  EXPECT_EQ(storage.GetStats().recordedBytes, kMiB / 2 + kMiB / 4);
  storage.Stop();
  EXPECT_EQ(LinesWith(L"[REPLAY-STORAGE] capture ended: recorded 0.750000 MB, spilled 0.500000 MB"), 1u);
}

TEST_F(ReplayStorageTest, ASaveReadingSpilledRecordsReusesOneBufferButNeverOneStillHeld) {
  Start(L"/spill", 1);
  for (int i = 0; i < 4; ++i) video.AppendWithCutoff(Segment(i, kMiB / 2), INT64_MIN);
  ASSERT_TRUE(WaitUntil([&] { return storage.ResidentBytes() <= kMiB; }));
  const auto snapshot = video.TakeSnapshot(TickSpan{0, INT64_MAX});
  ASSERT_TRUE(snapshot[0].spilled && snapshot[1].spilled);
  std::shared_ptr<std::vector<uint8_t>> scratch;
  SharedBytes first = ReadSpilledReusing(*snapshot[0].spilled, scratch);
  EXPECT_EQ(first->front(), 0);
  // Still held: the next read must not overwrite it.
  SharedBytes second = ReadSpilledReusing(*snapshot[1].spilled, scratch);
  EXPECT_NE(first.get(), second.get());
  EXPECT_EQ(first->front(), 0);
  EXPECT_EQ(second->front(), 1);
  // Let go: the same buffer serves the next read.
  const void* reused = second.get();
  first.reset();
  second.reset();
  SharedBytes third = ReadSpilledReusing(*snapshot[0].spilled, scratch);
  EXPECT_EQ(third.get(), reused);
  EXPECT_EQ(third->size(), kMiB / 2);
  EXPECT_EQ(third->back(), 0);
}

TEST_F(ReplayStorageTest, AStalledWriterCostsTheAppendsNothingAndGivesUpTheOldestAtTheBound) {
  Start(L"/spill", 8);
  files.Block(true);
  const uint64_t bound = ReplayStorage::HardBoundBytes(8 * kMiB);
  // Audio is most of the bytes: giving up must cut the picture as well.
  auto appendAll = [&](int from, int to) {
    for (int i = from; i < to; ++i) {
      video.AppendWithCutoff(Segment(i, kMiB / 4), INT64_MIN);
      desktop.AppendWithCutoff(Chunk(i, kMiB), INT64_MIN);
    }
  };
  // The appends return while the writer sits in its write.
  const auto began = std::chrono::steady_clock::now();
  std::thread producer([&] { appendAll(0, 40); });
  producer.join();
  const double appendSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
  ASSERT_TRUE(WaitUntil([&] {
    std::lock_guard lock(files.state.mutex);
    return files.state.blocked == 1;
  }));
  EXPECT_LE(storage.ResidentBytes(), bound);
  EXPECT_GT(storage.GetStats().givenUpRecords, 0u);
  // One line, and at most one more every 5 s while it goes on.
  const size_t giveUpLines =
      LinesWith(L"[REPLAY-STORAGE] spill writer behind: memory reached its bound of 16 MB; gave up the oldest ");
  EXPECT_GE(giveUpLines, 1u);
  EXPECT_LE(giveUpLines, 1u + static_cast<size_t>(appendSeconds / 5.0));
  // The replay stays one unbroken span ending at the newest record.
  const auto held = video.TakeSnapshot({INT64_MIN, INT64_MAX});
  ASSERT_FALSE(held.empty());
  EXPECT_EQ(held.back().startTicks, 39 * 2 * kSecond);
  for (size_t i = 1; i < held.size(); ++i) EXPECT_EQ(held[i].startTicks, held[i - 1].EndTicks());
  const auto sound = desktop.TakeSnapshot({INT64_MIN, INT64_MAX});
  ASSERT_FALSE(sound.empty());
  EXPECT_GE(held.front().startTicks, 20 * 2 * kSecond);  // 20 of the 40 seconds-pairs exceed the bound
  EXPECT_LE(std::llabs(held.front().startTicks - sound.front().startTicks), 2 * kSecond);

  files.Block(false);  // the disk comes back: the writer catches up
  ASSERT_TRUE(WaitUntil([&] { return storage.ResidentBytes() <= 8 * kMiB; }));
  appendAll(40, 44);
  ASSERT_TRUE(WaitUntil([&] { return storage.ResidentBytes() <= 8 * kMiB; }));
  EXPECT_EQ(video.TakeSnapshot({INT64_MIN, INT64_MAX}).back().startTicks, 43 * 2 * kSecond);
}

TEST_F(ReplayStorageTest, AFailingWriterKeepsTheReplayInMemoryUpToTheBoundThenResumes) {
  files.Fail(hr::kDiskFull);
  Start(L"/spill", 4);
  for (int i = 0; i < 30; ++i) video.AppendWithCutoff(Segment(i, kMiB), INT64_MIN);
  ASSERT_TRUE(WaitUntil([&] { return storage.GetStats().writeFailures >= 1; }));
  EXPECT_LE(storage.ResidentBytes(), ReplayStorage::HardBoundBytes(4 * kMiB));
  EXPECT_EQ(storage.GetStats().spillWrites, 0u);
  EXPECT_GT(storage.GetStats().givenUpRecords, 0u);
  // Nothing half-written is ever referenced: every record is in memory.
  for (const EncodedSegment& segment : video.TakeSnapshot({INT64_MIN, INT64_MAX})) {
    EXPECT_TRUE(segment.bytes);
    EXPECT_FALSE(segment.spilled);
  }
  EXPECT_EQ(LinesWith(L"[REPLAY-STORAGE] spill write failed: 0x80070070"), 1u);

  files.Fail(hr::kOk);  // space again: the next retry writes
  ASSERT_TRUE(WaitUntil([&] { return storage.ResidentBytes() <= 4 * kMiB; }));
  ASSERT_TRUE(WaitUntil([&] { return LinesWith(L"[REPLAY-STORAGE] spill writes resumed after ") == 1; }));
  EXPECT_EQ(LinesWith(L"[REPLAY-STORAGE] spill write failed"), 1u);
}

TEST_F(ReplayStorageTest, AnAlmostFullDiskTakingOnlySmallRecordsIsOneSeriesOfFailures) {
  files.FailAbove(hr::kDiskFull, kMiB / 2);
  Start(L"/spill", 2);
  for (int i = 0; i < 4; ++i) video.AppendWithCutoff(Segment(i, kMiB), INT64_MIN);
  ASSERT_TRUE(WaitUntil([&] { return storage.GetStats().writeFailures >= 1; }));
  // Small records older than the failing segment arrive (the encoded sound
  // comes in blocks that start earlier) and fit; the segment still fails.
  for (int j = 0; j < 2; ++j) {
    const uint64_t writes = storage.GetStats().spillWrites;
    const uint64_t failures = storage.GetStats().writeFailures;
    for (int k = 0; k < 2; ++k) {  // a ring's newest record is never spilled
      AudioChunk chunk = Chunk(0, kMiB / 8);
      chunk.startTicks = -kSecond + (2 * j + k) * kSecond / 8;
      chunk.durationSeconds = 0.125;
      mic.AppendWithCutoff(chunk, INT64_MIN);
    }
    ASSERT_TRUE(WaitUntil([&] {
      return storage.GetStats().spillWrites > writes && storage.GetStats().writeFailures > failures;
    }));
  }
  EXPECT_EQ(LinesWith(L"[REPLAY-STORAGE] spill write failed: 0x80070070"), 1u);
  EXPECT_EQ(LinesWith(L"[REPLAY-STORAGE] spill writes resumed"), 0u);

  files.FailAbove(hr::kOk, 0);
  ASSERT_TRUE(WaitUntil([&] { return LinesWith(L"[REPLAY-STORAGE] spill writes resumed after ") == 1; }));
  EXPECT_EQ(LinesWith(L"[REPLAY-STORAGE] spill write failed"), 1u);
  EXPECT_LE(storage.ResidentBytes(), 2 * kMiB);
}

TEST_F(ReplayStorageTest, StopEndsTheWriterAndLaterAppendsAreLeftAlone) {
  Start(L"/spill", 1);
  for (int i = 0; i < 4; ++i) video.AppendWithCutoff(Segment(i, kMiB), INT64_MIN);
  ASSERT_TRUE(WaitUntil([&] { return storage.ResidentBytes() <= kMiB; }));
  storage.Stop();
  EXPECT_FALSE(storage.Spilling());
  for (int i = 4; i < 8; ++i) video.AppendWithCutoff(Segment(i, kMiB), INT64_MIN);
  EXPECT_EQ(storage.ResidentBytes(), 5 * kMiB);  // the newest one that stayed, then four new
  EXPECT_EQ(video.Size(), 8u);
}

}  // namespace
}  // namespace ostrel
