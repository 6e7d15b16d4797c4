// Keeps the replay within a memory limit. Without a folder the rings keep
// the newest part that fits. With one, a writer thread moves the oldest
// records' bytes into owner-only spill files, in order, one record at a
// time, never holding a ring's mutex while it writes; the rings then hold a
// reference to the file span instead (replay/spilled_bytes.h), and a file
// goes when its last span leaves the replay and no save holds it.
//
// A writer that stalls or fails costs no frames: memory grows up to a hard
// bound (the limit plus a quarter), then the appending thread gives up the
// oldest records still waiting to be written, with everything older, and
// logs it. A failing writer retries every second.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "log/log.h"
#include "platform/file_storage.h"
#include "replay/stored_ring.h"
#include "sync/mutex.h"

namespace ostrel {

struct SpilledBytes;

struct ReplayStorageSettings {
  std::wstring folder;    // empty: nothing is spilled
  int memoryLimitMB = 0;  // 0 or less: no limit
};

class ReplayStorage final : public RingObserver {
 public:
  struct Stats {
    uint64_t recordedBytes = 0;   // appended to the rings (a shared buffer once)
    uint64_t spilledBytes = 0;    // written to spill files
    uint64_t spillWrites = 0;
    uint64_t writeFailures = 0;
    uint64_t givenUpRecords = 0;  // given up at the hard bound
    uint64_t droppedRecords = 0;  // dropped to fit the limit (no folder)
  };

  // Observes the rings for the storage's whole life.
  explicit ReplayStorage(std::vector<StoredRing*> rings);
  ~ReplayStorage();
  ReplayStorage(const ReplayStorage&) = delete;
  ReplayStorage& operator=(const ReplayStorage&) = delete;

  // At a capture start, before any producer runs: removes what an earlier
  // process left in the folder, checks it, and starts the writer. A folder
  // that cannot be used now is logged; the limit then applies without one.
  void Start(const ReplayStorageSettings& settings, double replaySeconds, platform::IFileStorage& files,
             LogSink log);
  // After the producers ended and before the rings are cleared: ends the
  // writer (a write in progress is waited for) and lets go of its file.
  void Stop();

  void OnAppended(uint64_t newBytes) override;

  Stats GetStats() const;
  uint64_t ResidentBytes() const;
  bool Spilling() const { return spilling_.load(); }

  // The memory a stalled writer may let the rings take.
  static uint64_t HardBoundBytes(uint64_t limitBytes);
  // A new spill file is begun past this size, so space comes back in
  // pieces as the replay moves on.
  static constexpr uint64_t kSpillFileBytes = 64ull << 20;
  static constexpr std::chrono::seconds kRetryInterval{1};

 private:
  struct Pick {
    StoredRing* ring = nullptr;
    StoredRing::Resident record;
  };
  enum class SpillResult { kSpilled, kNothing, kFailed };

  std::optional<Pick> OldestResident() const;
  void RunWriter();
  SpillResult SpillOldest();
  void FitWithoutFolder();
  void GiveUpAtHardBound();
  void Log(const std::wstring& line) const;

  std::vector<StoredRing*> rings_;
  std::atomic<uint64_t> limitBytes_{0};
  std::atomic<uint64_t> hardBoundBytes_{0};
  std::atomic<bool> spilling_{false};
  double replaySeconds_ = 0.0;
  LogSink log_;
  platform::IFileStorage* files_ = nullptr;
  std::wstring folder_;

  // The policy on the appending threads (drop or give up); never held
  // while writing.
  Mutex policyMutex_;
  double lastLoggedHeldSeconds_ GUARDED_BY(policyMutex_) = -1.0;
  double pendingGivenUpSeconds_ GUARDED_BY(policyMutex_) = 0.0;
  std::chrono::steady_clock::time_point lastGiveUpLine_ GUARDED_BY(policyMutex_){};

  // The writer.
  std::thread writer_;
  Mutex wakeMutex_;
  std::condition_variable wakeCv_;
  bool wake_ GUARDED_BY(wakeMutex_) = false;
  bool stopping_ GUARDED_BY(wakeMutex_) = false;
  std::shared_ptr<platform::ISpillFile> file_;  // the file being appended; writer only
  uint64_t fileBytes_ = 0;
  // The last buffer written: records sharing one buffer (silence) share
  // its span too. Writer only.
  std::weak_ptr<const std::vector<uint8_t>> lastWrittenBytes_;
  std::shared_ptr<const SpilledBytes> lastWrittenSpan_;
  // Failed writes since the writer last caught up. Writer only.
  uint64_t failuresInSeries_ = 0;

  std::atomic<uint64_t> recordedBytes_{0};
  // The counts when the writer started, for the line its stop writes.
  Stats atWriterStart_;
  std::atomic<uint64_t> spilledBytes_{0};
  std::atomic<uint64_t> spillWrites_{0};
  std::atomic<uint64_t> writeFailures_{0};
  std::atomic<uint64_t> givenUpRecords_{0};
  std::atomic<uint64_t> droppedRecords_{0};
};

}  // namespace ostrel
