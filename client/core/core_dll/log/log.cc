#include "log/log.h"

#include <cstdarg>
#include <cwchar>

#include "replay/tick_clock.h"

namespace ostrel {

void LogF(const LogSink& sink, const wchar_t* format, ...) {
  if (!sink) return;
  wchar_t buffer[1024];
  va_list args;
  va_start(args, format);
  int written = std::vswprintf(buffer, 1024, format, args);
  va_end(args);
  if (written < 0) {
    // glibc reports truncation as failure without defining the buffer's
    // contents; format again into a growing buffer and cut it ourselves.
    for (size_t size = 4096; size <= (size_t{1} << 20); size *= 4) {
      std::wstring big(size, L'\0');
      va_start(args, format);
      written = std::vswprintf(big.data(), big.size(), format, args);
      va_end(args);
      if (written >= 0) {
        big.resize(written > 1023 ? 1023 : static_cast<size_t>(written));
        sink(big);
        return;
      }
    }
    return;  // not formattable (an encoding error): nothing to deliver
  }
  sink(std::wstring(buffer, static_cast<size_t>(written)));
}

std::wstring Hex32(uint32_t code) {
  wchar_t buffer[16];
  std::swprintf(buffer, 16, L"%08X", code);
  return buffer;
}

std::wstring Fixed6(double value) {
  wchar_t buffer[64];
  int n = std::swprintf(buffer, 64, L"%f", value);
  if (n < 0) {
    // Only absurdly large values do not fit; keep the line well-formed.
    return std::to_wstring(value);
  }
  return buffer;
}

std::wstring TickSeconds(int64_t ticks) { return Fixed6(static_cast<double>(ticks) / 10000000.0); }

std::wstring NowStamp() { return TickSeconds(TickClock::Now()); }

std::wstring Widen(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  for (char c : text) out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  return out;
}

}  // namespace ostrel
