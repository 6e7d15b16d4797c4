// What the replay storage (storage/replay_storage.h) sees of a ring, whatever
// its record type: the bytes it holds in memory, its oldest records, and
// the moves that take bytes out of memory. Each call takes the ring's mutex
// alone, for the queue work only.
#pragma once

#include <cstdint>
#include <optional>

#include "replay/records.h"

namespace ostrel {

// Told after every append, outside the ring's mutex, on the appending thread,
// with the bytes the append brought (0 for a buffer the record before it
// holds too: a silent source's chunks share one).
class RingObserver {
 public:
  virtual void OnAppended(uint64_t newBytes) = 0;

 protected:
  ~RingObserver() = default;
};

class StoredRing {
 public:
  // A record whose bytes are in memory, as the ring held it.
  struct Resident {
    uint64_t sequence = 0;  // its append number (appends counted from the ring's creation)
    int64_t startTicks = 0;
    int64_t endTicks = 0;
    SharedBytes bytes;
  };

  // Bytes of the records held in memory (a buffer shared by several records
  // counts for each).
  virtual uint64_t ResidentBytes() const = 0;
  // The oldest record whose bytes are in memory, the newest record left
  // out (it stays in memory: the live mix and a save's cut read it first).
  virtual std::optional<Resident> OldestResident() const = 0;
  // Replaces the record's bytes by their spilled copy when the record is
  // still held with those bytes; false otherwise (evicted meanwhile).
  virtual bool MarkSpilled(uint64_t sequence, const SharedBytes& bytes, SharedSpill spilled) = 0;
  // The oldest record's start when it may go (the ring holds 2 or more).
  virtual std::optional<int64_t> DroppableFrontStart() const = 0;
  // Removes the oldest record when the ring holds 2 or more.
  virtual bool DropFront() = 0;
  // Removes the records starting before `ticks` (never the last one).
  virtual void DropStartingBefore(int64_t ticks) = 0;
  // The oldest record's start (none when empty).
  virtual std::optional<int64_t> FrontStart() const = 0;

  void SetObserver(RingObserver* observer) { observer_ = observer; }

 protected:
  ~StoredRing() = default;
  void NotifyAppended(uint64_t newBytes) {
    if (observer_ != nullptr) observer_->OnAppended(newBytes);
  }

 private:
  RingObserver* observer_ = nullptr;  // set once, before any producer runs
};

}  // namespace ostrel
