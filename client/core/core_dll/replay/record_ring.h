// A time-bounded ring of records (EncodedSegment or AudioChunk): appends
// evict what lies wholly before the replay window, snapshots copy the
// records of a span (sharing their bytes). One mutex per ring, held only for
// the queue work.
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "replay/records.h"
#include "replay/replay_window.h"

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
class RecordRing {
 public:
  using Snapshot = std::deque<Record>;

  virtual ~RecordRing() = default;

  void Append(Record record, const ReplayWindow& window) {
    AppendWithCutoff(std::move(record), window.EvictionCutoff());
  }

  // Append with an explicit eviction cutoff.
  void AppendWithCutoff(Record record, int64_t cutoff) {
    std::lock_guard lock(mutex_);
    records_.push_back(std::move(record));
    ++appended_;
    EvictLocked(cutoff);
  }

  // The records appended since a reader had seen `seen` of them (appends
  // are counted from the ring's creation), oldest first; `seen` becomes the
  // new count. `missed` is set when some were evicted or cleared unread.
  Snapshot TakeSince(uint64_t& seen, bool* missed) const {
    std::lock_guard lock(mutex_);
    const uint64_t firstHeld = appended_ - records_.size();
    *missed = seen < firstHeld && seen < appended_;
    Snapshot result;
    for (uint64_t i = std::max(seen, firstHeld); i < appended_; ++i) result.push_back(records_[i - firstHeld]);
    seen = appended_;
    return result;
  }

  // Records overlapping the span (strict on both ends), oldest first.
  Snapshot TakeSnapshot(const TickSpan& span) const {
    std::lock_guard lock(mutex_);
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
    std::lock_guard lock(mutex_);
    return DistinctBytes(records_);
  }

  size_t Size() const {
    std::lock_guard lock(mutex_);
    return records_.size();
  }

  void Clear() {
    std::lock_guard lock(mutex_);
    records_.clear();
    OnClearLocked();
  }

 protected:
  virtual void OnClearLocked() {}
  mutable std::mutex mutex_;

 private:
  // Never evicts the last record; a record ending exactly at the cutoff goes.
  void EvictLocked(int64_t cutoff) {
    while (records_.size() >= 2 && records_.front().EndTicks() <= cutoff) records_.pop_front();
  }

  std::deque<Record> records_;
  uint64_t appended_ = 0;  // every append, cleared or evicted ones included
};

class SegmentRing : public RecordRing<EncodedSegment> {};

// The memory a snapshot's buffers take (shared buffers counted once).
template <typename Record>
uint64_t SnapshotBytes(const std::deque<Record>& snapshot) {
  return DistinctBytes(snapshot);
}

}  // namespace ostrel
