#include "log/host_log_queue.h"

namespace ostrel {

HostLogQueue::HostLogQueue(Deliver deliver, size_t capacity) : deliver_(std::move(deliver)), capacity_(capacity) {}

HostLogQueue::~HostLogQueue() { Stop(); }

void HostLogQueue::Stop() {
  std::thread delivery;
  {
    std::lock_guard lock(mutex_);
    if (!thread_.joinable() || thread_.get_id() == std::this_thread::get_id()) return;
    stopping_ = true;
    delivery = std::move(thread_);
  }
  wake_.notify_all();
  delivery.join();
  std::lock_guard lock(mutex_);
  stopping_ = false;
  if (!lines_.empty()) thread_ = std::thread([this] { Run(); });
}

std::wstring HostLogQueue::DroppedLine(uint64_t count) {
  return L"[DIAG-LOG-DROPPED] " + std::to_wstring(count) + L" log lines dropped: the host log callback fell behind";
}

void HostLogQueue::Push(std::wstring line) {
  {
    std::lock_guard lock(mutex_);
    if (lines_.size() >= capacity_) {
      ++dropped_;
      return;
    }
    if (dropped_ != 0) {
      // The count takes the place of the lines it stands for.
      lines_.push_back(DroppedLine(dropped_));
      ++pushed_;
      dropped_ = 0;
    }
    lines_.push_back(std::move(line));
    ++pushed_;
    // While Stop joins the old thread, the new one is Stop's to start.
    if (!thread_.joinable() && !stopping_) thread_ = std::thread([this] { Run(); });
  }
  wake_.notify_one();
}

void HostLogQueue::Flush() {
  std::unique_lock lock(mutex_);
  if (thread_.joinable() && thread_.get_id() == std::this_thread::get_id()) return;
  // Drops not yet reported are reported once the queue empties: that line
  // is waited for too.
  const uint64_t target = pushed_ + (dropped_ != 0 ? 1 : 0);
  delivered_.wait(lock, [&] { return completed_ >= target; });
}

void HostLogQueue::Run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (lines_.empty() && dropped_ != 0) {
      // Nothing came after the drops: report them now.
      lines_.push_back(DroppedLine(dropped_));
      ++pushed_;
      dropped_ = 0;
    }
    wake_.wait(lock, [&] { return stopping_ || !lines_.empty(); });
    if (lines_.empty()) return;  // stopping, nothing left
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
