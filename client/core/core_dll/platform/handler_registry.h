// Frame-arrived and closed handlers by token, as every backend's capture
// objects keep them. Not locked itself: its owner guards it with the mutex
// that also guards the owner's stop flag, so that "stopped" and "which
// handlers" are one state.
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/window_capture.h"

namespace ostrel::platform {

class HandlerRegistry {
 public:
  using Handler = std::function<void()>;

  // Tokens are unique in the process, never 0.
  EventToken Add(Handler handler) {
    const EventToken token = nextToken_.fetch_add(1) + 1;
    handlers_.emplace(token, std::move(handler));
    return token;
  }
  // The removed handler (empty when unknown), for the caller to destroy
  // outside its lock: a handler's captures may own what the lock guards.
  Handler Remove(EventToken token) {
    Handler removed;
    auto it = handlers_.find(token);
    if (it == handlers_.end()) return removed;
    removed = std::move(it->second);
    handlers_.erase(it);
    return removed;
  }
  // Every handler, handed over to be destroyed outside the lock.
  std::map<EventToken, Handler> TakeAll() { return std::exchange(handlers_, {}); }

  std::vector<EventToken> Tokens() const {
    std::vector<EventToken> tokens;
    for (const auto& entry : handlers_) tokens.push_back(entry.first);
    return tokens;
  }

  // Calls the handlers of `tokens` in turn, each outside `lock` (which holds
  // the owner's mutex) and looked up again first: one removed meanwhile is
  // not called, and none once `stop` is set. A handler's exception goes
  // nowhere: the capture service has no one to report it to.
  void Raise(std::unique_lock<std::mutex>& lock, const std::vector<EventToken>& tokens, const bool& stop) const {
    for (EventToken token : tokens) {
      if (stop) return;
      auto it = handlers_.find(token);
      if (it == handlers_.end()) continue;
      {
        Handler handler = it->second;  // a copy: the handler may remove itself
        lock.unlock();
        try {
          handler();
        } catch (...) {
        }
      }  // the copy goes outside the lock
      lock.lock();
    }
  }

 private:
  static inline std::atomic<EventToken> nextToken_{0};
  std::map<EventToken, Handler> handlers_;
};

}  // namespace ostrel::platform
