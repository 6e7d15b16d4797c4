// Collects the lines the library delivers to the host log callback.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace ostrel::testing {

class LogCapture {
 public:
  // The callback to register with Ostrel_SetLogCallback.
  static void Callback(const wchar_t* line);
  static void Clear();
  static std::vector<std::wstring> Lines();
  // Lines that contain `text`.
  static std::vector<std::wstring> Matching(const std::wstring& text);
  static size_t Count(const std::wstring& text) { return Matching(text).size(); }
  // Waits until at least `count` lines contain `text`.
  static bool WaitFor(const std::wstring& text, std::chrono::milliseconds timeout, size_t count = 1);
  // Index of the first line containing `text` at or after `from`, or -1.
  static long IndexOf(const std::wstring& text, size_t from = 0);
};

}  // namespace ostrel::testing
