#include "storage/replay_storage.h"

#include <algorithm>

#include "storage/spilled_bytes.h"
#include "replay/tick_clock.h"

namespace ostrel {
namespace {

constexpr uint64_t kMiB = 1ull << 20;
constexpr double kTicksPerSecond = 10000000.0;
// Give-up lines come at most this often; what was given up in between is
// summed into the next one (or the stop's).
constexpr std::chrono::seconds kGiveUpLineInterval{5};

}  // namespace

ReplayStorage::ReplayStorage(std::vector<StoredRing*> rings) : rings_(std::move(rings)) {
  for (StoredRing* ring : rings_) ring->SetObserver(this);
}

ReplayStorage::~ReplayStorage() {
  Stop();
  for (StoredRing* ring : rings_) ring->SetObserver(nullptr);
}

uint64_t ReplayStorage::HardBoundBytes(uint64_t limitBytes) {
  return limitBytes + std::max<uint64_t>(limitBytes / 4, 8 * kMiB);
}

void ReplayStorage::Start(const ReplayStorageSettings& settings, double replaySeconds,
                          platform::IFileStorage& files, LogSink log) {
  Stop();
  log_ = std::move(log);
  files_ = &files;
  folder_ = settings.folder;
  replaySeconds_ = replaySeconds;
  {
    LockGuard policy(policyMutex_);
    lastLoggedHeldSeconds_ = -1.0;
    pendingGivenUpSeconds_ = 0.0;
    lastGiveUpLine_ = {};
  }
  failuresInSeries_ = 0;
  const uint64_t limit = settings.memoryLimitMB > 0 ? static_cast<uint64_t>(settings.memoryLimitMB) * kMiB : 0;

  bool spill = false;
  if (!folder_.empty()) {
    if (const size_t removed = files.RemoveLeftovers(folder_); removed > 0) {
      Log(L"[REPLAY-STORAGE] removed " + std::to_wstring(removed) + L" spill file(s) an earlier process left in " +
          folder_);
    }
    if (limit > 0) {
      std::wstring reason;
      const Hresult prepared = files.PrepareFolder(folder_, &reason);
      if (Failed(prepared)) {
        Log(L"[REPLAY-STORAGE] cannot spill to " + folder_ + L": " + reason + L" (0x" + Hex32(prepared) +
            L") - the replay keeps the newest part that fits in " + std::to_wstring(settings.memoryLimitMB) +
            L" MB");
      } else {
        spill = true;
      }
    }
  }
  limitBytes_.store(limit);
  hardBoundBytes_.store(HardBoundBytes(limit));
  if (limit == 0) return;
  if (spill) {
    Log(L"[REPLAY-STORAGE] memory limit " + std::to_wstring(settings.memoryLimitMB) +
        L" MB; the older replay goes to " + folder_);
    {
      LockGuard lock(wakeMutex_);
      stopping_ = false;
      wake_ = false;
    }
    atWriterStart_ = GetStats();
    writer_ = std::thread([this] { RunWriter(); });
    spilling_.store(true);
  } else {
    Log(L"[REPLAY-STORAGE] memory limit " + std::to_wstring(settings.memoryLimitMB) + L" MB, no folder");
  }
}

void ReplayStorage::Stop() {
  if (writer_.joinable()) {
    {
      LockGuard lock(wakeMutex_);
      stopping_ = true;
    }
    wakeCv_.notify_all();
    writer_.join();
    const Stats now = GetStats();
    Log(L"[REPLAY-STORAGE] capture ended: recorded " +
        Fixed6(static_cast<double>(now.recordedBytes - atWriterStart_.recordedBytes) / kMiB) + L" MB, spilled " +
        Fixed6(static_cast<double>(now.spilledBytes - atWriterStart_.spilledBytes) / kMiB) + L" MB");
  }
  spilling_.store(false);
  limitBytes_.store(0);
  file_.reset();
  fileBytes_ = 0;
  lastWrittenBytes_.reset();
  lastWrittenSpan_.reset();
  LockGuard policy(policyMutex_);
  if (pendingGivenUpSeconds_ > 0.0) {
    Log(L"[REPLAY-STORAGE] spill writer behind: gave up " + Fixed6(pendingGivenUpSeconds_) +
        L" s more of the oldest replay");
    pendingGivenUpSeconds_ = 0.0;
  }
}

uint64_t ReplayStorage::ResidentBytes() const {
  uint64_t total = 0;
  for (const StoredRing* ring : rings_) total += ring->ResidentBytes();
  return total;
}

ReplayStorage::Stats ReplayStorage::GetStats() const {
  return Stats{recordedBytes_.load(), spilledBytes_.load(), spillWrites_.load(), writeFailures_.load(),
               givenUpRecords_.load(), droppedRecords_.load()};
}

void ReplayStorage::Log(const std::wstring& line) const {
  if (log_) log_(line);
}

std::optional<ReplayStorage::Pick> ReplayStorage::OldestResident() const {
  std::optional<Pick> oldest;
  for (StoredRing* ring : rings_) {
    std::optional<StoredRing::Resident> record = ring->OldestResident();
    if (record && (!oldest || record->startTicks < oldest->record.startTicks)) oldest = Pick{ring, *record};
  }
  return oldest;
}

void ReplayStorage::OnAppended(uint64_t newBytes) {
  recordedBytes_.fetch_add(newBytes);
  const uint64_t limit = limitBytes_.load();
  if (limit == 0) return;
  const uint64_t resident = ResidentBytes();
  if (resident <= limit) return;
  if (!spilling_.load()) {
    FitWithoutFolder();
    return;
  }
  {
    LockGuard lock(wakeMutex_);
    wake_ = true;
  }
  wakeCv_.notify_one();
  if (resident > hardBoundBytes_.load()) GiveUpAtHardBound();
}

// Drops the oldest record of any ring (never a ring's last) until the rest
// fits, and says how much the replay holds when that first happens or when
// it shrinks by a tenth since it was last said.
void ReplayStorage::FitWithoutFolder() {
  LockGuard policy(policyMutex_);
  const uint64_t limit = limitBytes_.load();
  bool dropped = false;
  while (ResidentBytes() > limit) {
    StoredRing* oldest = nullptr;
    int64_t oldestStart = 0;
    for (StoredRing* ring : rings_) {
      std::optional<int64_t> start = ring->DroppableFrontStart();
      if (start && (oldest == nullptr || *start < oldestStart)) {
        oldest = ring;
        oldestStart = *start;
      }
    }
    if (oldest == nullptr || !oldest->DropFront()) break;
    droppedRecords_.fetch_add(1);
    dropped = true;
  }
  if (!dropped) return;
  const std::optional<int64_t> front = rings_.front()->FrontStart();
  if (!front) return;
  const double held = static_cast<double>(TickClock::Now() - *front) / kTicksPerSecond;
  if (lastLoggedHeldSeconds_ < 0.0 || held < 0.9 * lastLoggedHeldSeconds_) {
    lastLoggedHeldSeconds_ = held;
    Log(L"[REPLAY-STORAGE] memory limit " + std::to_wstring(limit / kMiB) + L" MB reached: the replay holds the newest " +
        Fixed6(held) + L" s of " + Fixed6(replaySeconds_) + L" s");
  }
}

// The writer is behind by the whole margin: the oldest record still in
// memory goes, and with it whatever began before its end in every ring, so
// the rings stay one unbroken span that starts at about the same instant
// (dropping only audio, the bulk of the bytes, would leave a picture
// without its sound).
void ReplayStorage::GiveUpAtHardBound() {
  LockGuard policy(policyMutex_);
  const uint64_t bound = hardBoundBytes_.load();
  double givenUp = 0.0;
  while (ResidentBytes() > bound) {
    std::optional<Pick> oldest = OldestResident();
    if (!oldest) break;
    std::optional<int64_t> from;
    for (StoredRing* ring : rings_) {
      std::optional<int64_t> start = ring->FrontStart();
      if (start && (!from || *start < *from)) from = start;
    }
    for (StoredRing* ring : rings_) ring->DropStartingBefore(oldest->record.endTicks);
    givenUpRecords_.fetch_add(1);
    if (from) givenUp += static_cast<double>(std::max<int64_t>(oldest->record.endTicks - *from, 0)) / kTicksPerSecond;
    const std::optional<StoredRing::Resident> still = oldest->ring->OldestResident();
    if (still && still->sequence == oldest->record.sequence) break;  // nothing could go
  }
  pendingGivenUpSeconds_ += givenUp;
  const auto now = std::chrono::steady_clock::now();
  if (pendingGivenUpSeconds_ > 0.0 &&
      (lastGiveUpLine_ == std::chrono::steady_clock::time_point{} || now - lastGiveUpLine_ >= kGiveUpLineInterval)) {
    Log(L"[REPLAY-STORAGE] spill writer behind: memory reached its bound of " + std::to_wstring(bound / kMiB) +
        L" MB; gave up the oldest " + Fixed6(pendingGivenUpSeconds_) + L" s of the replay");
    pendingGivenUpSeconds_ = 0.0;
    lastGiveUpLine_ = now;
  }
}

void ReplayStorage::RunWriter() {
  UniqueLock lock(wakeMutex_);
  while (!stopping_) {
    if (ResidentBytes() <= limitBytes_.load()) {
      // Caught up: a series of failures is over only now. On a disk that
      // is almost full a small record may fit where the one before did
      // not, and that is no recovery to report.
      if (failuresInSeries_ > 0) {
        Log(L"[REPLAY-STORAGE] spill writes resumed after " + std::to_wstring(failuresInSeries_) + L" failure(s)");
        failuresInSeries_ = 0;
      }
      wakeCv_.wait(lock, [&] {
        wakeMutex_.AssertHeld();
        return stopping_ || wake_;
      });
      wake_ = false;
      continue;
    }
    lock.unlock();
    const SpillResult result = SpillOldest();
    lock.lock();
    if (result == SpillResult::kFailed) {
      wakeCv_.wait_for(lock, kRetryInterval, [&] {
        wakeMutex_.AssertHeld();
        return stopping_;
      });
    } else if (result == SpillResult::kNothing) {
      wakeCv_.wait(lock, [&] {
        wakeMutex_.AssertHeld();
        return stopping_ || wake_;
      });
      wake_ = false;
    }
  }
}

ReplayStorage::SpillResult ReplayStorage::SpillOldest() {
  std::optional<Pick> pick = OldestResident();
  if (!pick) return SpillResult::kNothing;
  const SharedBytes& bytes = pick->record.bytes;
  std::shared_ptr<const SpilledBytes> span;
  if (lastWrittenSpan_ && lastWrittenBytes_.lock() == bytes) span = lastWrittenSpan_;
  if (!span) {
    Hresult written = hr::kOk;
    uint64_t offset = 0;
    if (!file_ || (fileBytes_ > 0 && fileBytes_ + bytes->size() > kSpillFileBytes)) {
      file_.reset();
      std::unique_ptr<platform::ISpillFile> created;
      written = files_->CreateSpillFile(folder_, &created);
      if (Succeeded(written)) {
        file_ = std::move(created);
        fileBytes_ = 0;
      }
    }
    if (Succeeded(written)) written = file_->Append(bytes->data(), bytes->size(), &offset);
    if (Failed(written)) {
      writeFailures_.fetch_add(1);
      if (failuresInSeries_++ == 0) {
        Log(L"[REPLAY-STORAGE] spill write failed: 0x" + Hex32(written) + L" (" + HresultMessage(written) +
            L") - the older replay stays in memory up to " + std::to_wstring(hardBoundBytes_.load() / kMiB) +
            L" MB; retrying every second");
      }
      return SpillResult::kFailed;
    }
    fileBytes_ += bytes->size();
    span = std::make_shared<const SpilledBytes>(SpilledBytes{file_, offset, bytes->size()});
    spilledBytes_.fetch_add(bytes->size());
    spillWrites_.fetch_add(1);
    lastWrittenBytes_ = bytes;
    lastWrittenSpan_ = span;
  }
  pick->ring->MarkSpilled(pick->record.sequence, bytes, std::move(span));
  return SpillResult::kSpilled;
}

}  // namespace ostrel
