// A time-bounded ring of records (EncodedSegment or AudioChunk): appends
// evict what lies wholly before the replay window, snapshots copy the
// records of a span (sharing their bytes). One mutex per ring, held only for
// the queue work.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "replay/records.h"
#include "replay/replay_window.h"
#include "replay/stored_ring.h"
#include "sync/mutex.h"

namespace ostrel {

// The byte count of the distinct buffers the records hold, each counted once
// however many records share it.
template <typename Record>
uint64_t DistinctBytes(const std::deque<Record>& records) {
  std::vector<const std::vector<uint8_t>*> buffers;
  buffers.reserve(records.size());
  for (const Record& record : records) {
    if (record.bytes) buffers.push_back(record.bytes.get());
  }
  std::sort(buffers.begin(), buffers.end(), std::less<>());  // a total order even for unrelated pointers
  buffers.erase(std::unique(buffers.begin(), buffers.end()), buffers.end());
  uint64_t total = 0;
  for (const std::vector<uint8_t>* buffer : buffers) total += buffer->size();
  return total;
}

template <typename Record>
class RecordRing : public StoredRing {
 public:
  using Snapshot = std::deque<Record>;

  virtual ~RecordRing() = default;

  void Append(Record record, const ReplayWindow& window) {
    AppendWithCutoff(std::move(record), window.EvictionCutoff());
  }

  // Append with an explicit eviction cutoff.
  void AppendWithCutoff(Record record, int64_t cutoff) {
    uint64_t newBytes = 0;
    {
      LockGuard lock(mutex_);
      const uint64_t bytes = ByteCount(record.bytes);
      residentBytes_.fetch_add(bytes);
      if (lastAppendedBytes_.lock() != record.bytes) newBytes = bytes;
      lastAppendedBytes_ = record.bytes;
      records_.push_back(std::move(record));
      ++appended_;
      EvictLocked(cutoff);
    }
    NotifyAppended(newBytes);
  }

  // The records appended since a reader had seen `seen` of them (appends
  // are counted from the ring's creation), oldest first; `seen` becomes the
  // new count. `missed` is set when some were evicted or cleared unread.
  Snapshot TakeSince(uint64_t& seen, bool* missed) const {
    LockGuard lock(mutex_);
    const uint64_t firstHeld = appended_ - records_.size();
    *missed = seen < firstHeld && seen < appended_;
    Snapshot result;
    for (uint64_t i = std::max(seen, firstHeld); i < appended_; ++i) result.push_back(records_[i - firstHeld]);
    seen = appended_;
    return result;
  }

  // Records overlapping the span (strict on both ends), oldest first.
  Snapshot TakeSnapshot(const TickSpan& span) const {
    LockGuard lock(mutex_);
    Snapshot result;
    for (const Record& record : records_) {
      if (record.EndTicks() > span.startTicks && record.startTicks < span.endTicks) {
        result.push_back(record);
      }
    }
    return result;
  }

  // The memory the held buffers take: a buffer held by several records
  // (a silent source's chunks share one) counts once.
  uint64_t TotalBytes() const {
    LockGuard lock(mutex_);
    return DistinctBytes(records_);
  }

  size_t Size() const {
    LockGuard lock(mutex_);
    return records_.size();
  }

  void Clear() {
    LockGuard lock(mutex_);
    records_.clear();
    residentBytes_.store(0);
    OnClearLocked();
  }

  uint64_t ResidentBytes() const override { return residentBytes_.load(); }

  std::optional<Resident> OldestResident() const override {
    LockGuard lock(mutex_);
    const uint64_t firstHeld = appended_ - records_.size();
    for (size_t i = 0; i + 1 < records_.size(); ++i) {
      const Record& record = records_[i];
      if (record.bytes) return Resident{firstHeld + i, record.startTicks, record.EndTicks(), record.bytes};
    }
    return std::nullopt;
  }

  bool MarkSpilled(uint64_t sequence, const SharedBytes& bytes, SharedSpill spilled) override {
    LockGuard lock(mutex_);
    const uint64_t firstHeld = appended_ - records_.size();
    if (sequence < firstHeld || sequence >= appended_) return false;
    Record& record = records_[sequence - firstHeld];
    if (!record.bytes || record.bytes != bytes) return false;
    residentBytes_.fetch_sub(ByteCount(record.bytes));
    record.bytes.reset();
    record.spilled = std::move(spilled);
    return true;
  }

  std::optional<int64_t> DroppableFrontStart() const override {
    LockGuard lock(mutex_);
    if (records_.size() < 2) return std::nullopt;
    return records_.front().startTicks;
  }

  bool DropFront() override {
    LockGuard lock(mutex_);
    if (records_.size() < 2) return false;
    PopFrontLocked();
    return true;
  }

  void DropStartingBefore(int64_t ticks) override {
    LockGuard lock(mutex_);
    while (records_.size() >= 2 && records_.front().startTicks < ticks) PopFrontLocked();
  }

  std::optional<int64_t> FrontStart() const override {
    LockGuard lock(mutex_);
    if (records_.empty()) return std::nullopt;
    return records_.front().startTicks;
  }

 protected:
  virtual void OnClearLocked() REQUIRES(mutex_) {}
  mutable Mutex mutex_;

 private:
  // Never evicts the last record; a record ending exactly at the cutoff goes.
  void EvictLocked(int64_t cutoff) REQUIRES(mutex_) {
    while (records_.size() >= 2 && records_.front().EndTicks() <= cutoff) PopFrontLocked();
  }
  void PopFrontLocked() REQUIRES(mutex_) {
    residentBytes_.fetch_sub(ByteCount(records_.front().bytes));
    records_.pop_front();
  }

  std::deque<Record> records_ GUARDED_BY(mutex_);
  std::atomic<uint64_t> residentBytes_{0};
  uint64_t appended_ GUARDED_BY(mutex_) = 0;  // every append, cleared or evicted ones included
  // The last append's buffer, without keeping it: a freed buffer whose
  // address a new one takes is not the same buffer.
  std::weak_ptr<const std::vector<uint8_t>> lastAppendedBytes_ GUARDED_BY(mutex_);
};

class SegmentRing : public RecordRing<EncodedSegment> {};

// The memory a snapshot's buffers take (shared buffers counted once).
template <typename Record>
uint64_t SnapshotBytes(const std::deque<Record>& snapshot) {
  return DistinctBytes(snapshot);
}

}  // namespace ostrel
