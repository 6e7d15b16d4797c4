// Lines on their way to the host's log callback. Any thread hands a line
// over without waiting for the host; one delivery thread calls the host, in
// the order the lines were handed over, one call at a time. When the host
// falls so far behind that the queue is full, further lines are dropped and
// counted, and a line with the count is delivered where they would have been.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <thread>

#include "sync/mutex.h"

namespace ostrel {

class HostLogQueue {
 public:
  using Deliver = std::function<void(const std::wstring& line)>;
  // `deliver` runs on the delivery thread only.
  HostLogQueue(Deliver deliver, size_t capacity);
  ~HostLogQueue();  // delivers what is queued, then joins the thread
  HostLogQueue(const HostLogQueue&) = delete;
  HostLogQueue& operator=(const HostLogQueue&) = delete;

  // Never waits for the host (only for the queue's own short lock) and never
  // throws: a line that finds no memory is dropped and counted like a line
  // the host fell behind on.
  void Push(const std::wstring& line) noexcept;
  // Waits until every line pushed before the call has been delivered (or
  // dropped). A no-op on the delivery thread itself, and when no delivery
  // thread can be started (the lines stay queued for the next one).
  void Flush();
  // Delivers what is queued and joins the delivery thread; the next line
  // starts a new one. Called at library shutdown, so that no thread is left
  // to join when the library is unloaded (on Windows that join would run
  // under the loader lock).
  void Stop();

  static std::wstring DroppedLine(uint64_t count);

 private:
  void Run();
  // Starts the delivery thread unless it runs or Stop is joining it; false
  // when the system refuses a thread.
  bool StartThreadLocked() noexcept REQUIRES(mutex_);

  const Deliver deliver_;
  const size_t capacity_;
  Mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable delivered_;
  std::deque<std::wstring> lines_ GUARDED_BY(mutex_);
  uint64_t dropped_ GUARDED_BY(mutex_) = 0;
  uint64_t pushed_ GUARDED_BY(mutex_) = 0;     // lines accepted, reports included
  uint64_t completed_ GUARDED_BY(mutex_) = 0;  // of those, delivered
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::thread thread_ GUARDED_BY(mutex_);  // started at the first line
};

}  // namespace ostrel
