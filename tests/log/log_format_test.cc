// Message-building rules shared by every log line.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cwchar>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "log/host_log_queue.h"
#include "log/log.h"

namespace ostrel {
namespace {

TEST(LogFormatTest, StatusCodesAreEightUppercaseHexDigitsAndFloatsHaveSixDecimals) {
  EXPECT_EQ(Hex32(static_cast<uint32_t>(0x887A0002)), L"887A0002");
  EXPECT_EQ(Hex32(5u), L"00000005");
  EXPECT_EQ(Hex32(static_cast<int32_t>(0x80010106)), L"80010106");
  EXPECT_EQ(Fixed6(2.5), L"2.500000");
  EXPECT_EQ(TickSeconds(12345678), L"1.234568");
}

TEST(LogFormatTest, WidenDecodesUtf8AndKeepsStrayBytesAsLatin1) {
  // A wide literal is UTF-16 where wchar_t has 16 bits, so the same
  // expectation checks the surrogate pair on Windows.
  EXPECT_EQ(Widen("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xAC"), L"caf\u00E9 \u20AC \U0001F3AC");
  EXPECT_EQ(Widen("\xFFok\xC3"), L"\u00FFok\u00C3");
  EXPECT_EQ(Widen("\xC0\xAF"), L"\u00C0\u00AF");  // overlong '/'
  EXPECT_EQ(Widen("\xED\xA0\x80"), L"\u00ED\u00A0\u0080");  // a lone surrogate
}

TEST(LogFTest, FormatsIntoOneLineCutAt1023) {
  std::vector<std::wstring> lines;
  LogSink sink = [&](const std::wstring& line) { lines.push_back(line); };
  LogF(sink, L"[%ls] capture error: 0x%08X (%ls) - retrying...", L"mic-audio", 0x88890004u, L"gone");
  const std::wstring longText(5000, L'x');
  LogF(sink, L"%ls", longText.c_str());
  LogF(sink, L"%ls", std::wstring(1023, L'y').c_str());
  EXPECT_EQ(lines, (std::vector<std::wstring>{L"[mic-audio] capture error: 0x88890004 (gone) - retrying...",
                                              longText.substr(0, 1023), std::wstring(1023, L'y')}));
}

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// A host callback that blocks until released, recording what it got.
struct SlowHost {
  std::mutex mutex;
  std::condition_variable cv;
  bool open = false;
  std::vector<std::wstring> lines;
  std::atomic<int> inside{0}, maxInside{0};  // the host is never called twice at once
  void Deliver(const std::wstring& line) {
    const int now = ++inside;
    maxInside = std::max(maxInside.load(), now);
    std::unique_lock lock(mutex);
    cv.wait(lock, [&] { return open; });
    lines.push_back(line);
    --inside;
  }
  void Open() {
    std::lock_guard lock(mutex);
    open = true;
    cv.notify_all();
  }
};

TEST(HostLogQueueTest, WritersNeverWaitForTheHostAndLinesArriveInOrderOrCounted) {
  SlowHost host;
  HostLogQueue queue([&](const std::wstring& line) { host.Deliver(line); }, 100);
  // The host is stuck; 4 threads x 50 lines still go through at once.
  std::vector<std::thread> writers;
  const auto start = std::chrono::steady_clock::now();
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&queue, t] {
      for (int i = 0; i < 50; ++i) queue.Push(std::to_wstring(t) + L" " + std::to_wstring(i));
    });
  }
  for (auto& writer : writers) writer.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  host.Open();
  queue.Flush();
  // Every line arrived or was counted: reports stand where lines were
  // dropped, the last one after the last line that got through.
  uint64_t lines = 0, dropped = 0;
  std::map<int, int> next;  // per writer, lines come in the order written
  for (const std::wstring& line : host.lines) {
    unsigned long count = 0;
    if (std::swscanf(line.c_str(), L"[DIAG-LOG-DROPPED] %lu", &count) == 1) {
      EXPECT_EQ(line, HostLogQueue::DroppedLine(count));
      EXPECT_GT(count, 0u);
      dropped += count;
      continue;
    }
    int t = 0, n = 0;
    ASSERT_EQ(std::swscanf(line.c_str(), L"%d %d", &t, &n), 2);
    EXPECT_GE(n, next[t]) << Narrow(line);
    next[t] = n + 1;
    ++lines;
  }
  EXPECT_EQ(lines + dropped, 200u);
  EXPECT_GE(lines, 100u);
  EXPECT_EQ(host.lines.back().rfind(L"[DIAG-LOG-DROPPED] ", 0), 0u);
  EXPECT_EQ(host.maxInside.load(), 1);
  // A line pushed after the drops comes after their count, and Flush waits
  // for it.
  queue.Push(L"later");
  queue.Flush();
  EXPECT_EQ(host.lines.back(), L"later");

  // Stop (library shutdown) delivers what is queued and joins; the next line
  // starts delivery again.
  queue.Push(L"before stop");
  queue.Stop();
  EXPECT_EQ(host.lines.back(), L"before stop");
  queue.Push(L"after stop");
  queue.Flush();
  EXPECT_EQ(host.lines.back(), L"after stop");
}

}  // namespace
}  // namespace ostrel
