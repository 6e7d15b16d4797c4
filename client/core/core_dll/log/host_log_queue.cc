#include "log/host_log_queue.h"

namespace ostrel {

HostLogQueue::HostLogQueue(Deliver deliver, size_t capacity) : deliver_(std::move(deliver)), capacity_(capacity) {}

HostLogQueue::~HostLogQueue() { Stop(); }

void HostLogQueue::Stop() {
  std::thread delivery;
  {
    LockGuard lock(mutex_);
    if (!thread_.joinable() || thread_.get_id() == std::this_thread::get_id()) return;
    stopping_ = true;
    delivery = std::move(thread_);
  }
  wake_.notify_all();
  delivery.join();
  LockGuard lock(mutex_);
  stopping_ = false;
  if (!lines_.empty()) StartThreadLocked();
}

std::wstring HostLogQueue::DroppedLine(uint64_t count) {
  return L"[DIAG-LOG-DROPPED] " + std::to_wstring(count) + L" log lines dropped: the host log callback fell behind";
}

bool HostLogQueue::StartThreadLocked() noexcept {
  if (thread_.joinable() || stopping_) return true;
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (...) {
    return false;
  }
  return true;
}

void HostLogQueue::Push(const std::wstring& line) noexcept {
  {
    LockGuard lock(mutex_);
    if (lines_.size() >= capacity_) {
      ++dropped_;
      return;
    }
    try {
      if (dropped_ != 0) {
        // The count takes the place of the lines it stands for.
        lines_.push_back(DroppedLine(dropped_));
        ++pushed_;
        dropped_ = 0;
      }
      lines_.push_back(line);
      ++pushed_;
    } catch (...) {
      ++dropped_;  // no memory for the line; the delivery thread reports it
    }
    // While Stop joins the old thread, the new one is Stop's to start. A
    // refused thread leaves the line queued for the next push.
    StartThreadLocked();
  }
  wake_.notify_one();
}

void HostLogQueue::Flush() {
  UniqueLock lock(mutex_);
  if (thread_.joinable() && thread_.get_id() == std::this_thread::get_id()) return;
  // Drops not yet reported are reported once the queue empties: that line
  // is waited for too.
  const uint64_t target = pushed_ + (dropped_ != 0 ? 1 : 0);
  if (completed_ >= target || !StartThreadLocked()) return;
  // Or drained with no report owed: a report that found no memory is lost
  // with the lines it stood for.
  delivered_.wait(lock, [&] {
    mutex_.AssertHeld();
    return completed_ >= target || (completed_ == pushed_ && dropped_ == 0);
  });
}

void HostLogQueue::Run() {
  UniqueLock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [&] {
      mutex_.AssertHeld();
      return stopping_ || !lines_.empty() || dropped_ != 0;
    });
    if (lines_.empty() && dropped_ != 0) {
      // Nothing came after the drops: report them now (the count is lost
      // when there is no memory for the report).
      try {
        lines_.push_back(DroppedLine(dropped_));
        ++pushed_;
      } catch (...) {
      }
      dropped_ = 0;
      delivered_.notify_all();
    }
    if (lines_.empty()) {
      if (stopping_) return;  // nothing left
      continue;
    }
    std::wstring line = std::move(lines_.front());
    lines_.pop_front();
    lock.unlock();
    deliver_(line);
    lock.lock();
    ++completed_;
    delivered_.notify_all();
  }
}

}  // namespace ostrel
