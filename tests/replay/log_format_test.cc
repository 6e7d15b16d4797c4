// Message-building rules shared by every log line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log/log.h"

namespace ostrel {
namespace {

TEST(LogFormatTest, StatusCodesAreEightUppercaseHexDigits) {
  EXPECT_EQ(Hex32(static_cast<uint32_t>(0x887A0002)), L"887A0002");
  EXPECT_EQ(Hex32(5u), L"00000005");
  EXPECT_EQ(Hex32(0u), L"00000000");
  EXPECT_EQ(Hex32(static_cast<int32_t>(0x80010106)), L"80010106");
}

TEST(LogFormatTest, FloatsUseSixDecimals) {
  EXPECT_EQ(Fixed6(2.5), L"2.500000");
  EXPECT_EQ(Fixed6(1.5), L"1.500000");
  EXPECT_EQ(TickSeconds(12345678), L"1.234568");
  EXPECT_EQ(Widen("h264_nvenc"), L"h264_nvenc");
}

TEST(LogFormatTest, WidenDecodesUtf8AndKeepsStrayBytesAsLatin1) {
  // A wide literal is UTF-16 where wchar_t has 16 bits, so the same
  // expectation checks the surrogate pair on Windows.
  EXPECT_EQ(Widen("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xAC"), L"caf\u00E9 \u20AC \U0001F3AC");
  EXPECT_EQ(Widen("\xFFok\xC3"), L"\u00FFok\u00C3");
  EXPECT_EQ(Widen("\xC0\xAF"), L"\u00C0\u00AF");  // overlong '/'
  EXPECT_EQ(Widen("\xED\xA0\x80"), L"\u00ED\u00A0\u0080");  // a lone surrogate
}

TEST(LogFTest, FormatsIntoOneLineAndCutsAt1023) {
  std::vector<std::wstring> lines;
  LogSink sink = [&](const std::wstring& line) { lines.push_back(line); };
  LogF(sink, L"[%ls] capture error: 0x%08X (%ls) - retrying...", L"mic-audio", 0x88890004u, L"gone");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0], L"[mic-audio] capture error: 0x88890004 (gone) - retrying...");

  std::wstring longText(5000, L'x');
  LogF(sink, L"%ls", longText.c_str());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].size(), 1023u);
  EXPECT_EQ(lines[1], longText.substr(0, 1023));

  LogF(sink, L"%ls", std::wstring(1023, L'y').c_str());
  EXPECT_EQ(lines[2].size(), 1023u);
}

TEST(LogFTest, EmptySinkFormatsNothing) {
  LogSink empty;
  // A format that would read a bad pointer proves the arguments are untouched.
  LogF(empty, L"%ls", reinterpret_cast<const wchar_t*>(0x10));
  SUCCEED();
}

}  // namespace
}  // namespace ostrel
