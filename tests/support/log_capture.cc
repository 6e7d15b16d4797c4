#include "support/log_capture.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace ostrel::testing {
namespace {

std::mutex& Mutex() {
  static std::mutex mutex;
  return mutex;
}
std::condition_variable& Changed() {
  static std::condition_variable cv;
  return cv;
}
std::vector<std::wstring>& Store() {
  static std::vector<std::wstring> lines;
  return lines;
}

}  // namespace

void LogCapture::Callback(const wchar_t* line) {
  {
    std::lock_guard lock(Mutex());
    Store().emplace_back(line);
  }
  Changed().notify_all();
}

void LogCapture::Clear() {
  std::lock_guard lock(Mutex());
  Store().clear();
}

std::vector<std::wstring> LogCapture::Lines() {
  std::lock_guard lock(Mutex());
  return Store();
}

std::vector<std::wstring> LogCapture::Matching(const std::wstring& text) {
  std::vector<std::wstring> result;
  for (const auto& line : Lines()) {
    if (line.find(text) != std::wstring::npos) result.push_back(line);
  }
  return result;
}

bool LogCapture::WaitFor(const std::wstring& text, std::chrono::milliseconds timeout, size_t count) {
  std::unique_lock lock(Mutex());
  return Changed().wait_for(lock, timeout, [&] {
    size_t found = 0;
    for (const auto& line : Store()) found += line.find(text) != std::wstring::npos;
    return found >= count;
  });
}

long LogCapture::IndexOf(const std::wstring& text, size_t from) {
  auto lines = Lines();
  for (size_t i = from; i < lines.size(); ++i) {
    if (lines[i].find(text) != std::wstring::npos) return static_cast<long>(i);
  }
  return -1;
}

}  // namespace ostrel::testing
