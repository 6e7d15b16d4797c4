// Log lines: the session's log target and the message-building rules every
// subsystem follows (status codes as 8 uppercase hex digits, "%f" floats,
// "t=" stamps in tick-clock seconds).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace ostrel {

// The host's callback: one NUL-terminated line per call.
using LogCallback = void (*)(const wchar_t* line);

// The log target a component holds; empty means lines are dropped.
using LogSink = std::function<void(const std::wstring&)>;

// printf-style line into a 1024-character buffer (longer output is cut to
// 1023 characters). With an empty sink nothing is even formatted. Wide
// strings are passed with %ls (%s is a narrow string on every platform).
void LogF(const LogSink& sink, const wchar_t* format, ...);

// Calls the sink when it is set.
inline void LogTo(const LogSink& sink, const std::wstring& line) {
  if (sink) sink(line);
}

// "887A0002" for 0x887A0002: 8 uppercase hex digits, leading zeros.
std::wstring Hex32(uint32_t code);
inline std::wstring Hex32(int32_t code) { return Hex32(static_cast<uint32_t>(code)); }
// "%f": fixed point with six decimals.
std::wstring Fixed6(double value);
// Tick-clock ticks as seconds in "%f" form (the text after "t=").
std::wstring TickSeconds(int64_t ticks);
// The current tick-clock reading as seconds in "%f" form.
std::wstring NowStamp();
// UTF-8 text (FFmpeg's messages, exception texts) as a wide string: UTF-16
// where wchar_t has 16 bits (Windows), UTF-32 elsewhere. A byte that starts
// no valid sequence is taken as Latin-1.
std::wstring Widen(std::string_view text);

}  // namespace ostrel
