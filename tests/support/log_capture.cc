#include "support/log_capture.h"

#include <algorithm>
#include <condition_variable>
#include <mutex>

namespace ostrel::testing {
namespace {

struct Store {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::wstring> lines;
};
Store& TheStore() {
  static Store store;
  return store;
}

}  // namespace

void LogCapture::Callback(const wchar_t* line) {
  {
    std::lock_guard lock(TheStore().mutex);
    TheStore().lines.emplace_back(line);
  }
  TheStore().changed.notify_all();
}

void LogCapture::Clear() {
  std::lock_guard lock(TheStore().mutex);
  TheStore().lines.clear();
}

std::vector<std::wstring> LogCapture::Lines() {
  std::lock_guard lock(TheStore().mutex);
  return TheStore().lines;
}

std::vector<std::wstring> LogCapture::Matching(const std::wstring& text) {
  std::vector<std::wstring> result;
  for (const auto& line : Lines()) {
    if (line.find(text) != std::wstring::npos) result.push_back(line);
  }
  return result;
}

bool LogCapture::WaitFor(const std::wstring& text, std::chrono::milliseconds timeout, size_t count) {
  std::unique_lock lock(TheStore().mutex);
  return TheStore().changed.wait_for(lock, timeout, [&] {
    return static_cast<size_t>(std::count_if(TheStore().lines.begin(), TheStore().lines.end(), [&](const auto& line) {
             return line.find(text) != std::wstring::npos;
           })) >= count;
  });
}

long LogCapture::IndexOf(const std::wstring& text, size_t from) {
  const auto lines = Lines();
  for (size_t i = from; i < lines.size(); ++i) {
    if (lines[i].find(text) != std::wstring::npos) return static_cast<long>(i);
  }
  return -1;
}

}  // namespace ostrel::testing
