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

namespace {

// Appends one code point as UTF-16 (Windows, 16-bit wchar_t) or UTF-32.
void AppendCodePoint(std::wstring& out, char32_t code) {
  if constexpr (sizeof(wchar_t) == 2) {
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<wchar_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<wchar_t>(0xDC00 + (code & 0x3FF)));
      return;
    }
  }
  out.push_back(static_cast<wchar_t>(code));
}

}  // namespace

std::wstring Widen(std::string_view text) {
  std::wstring out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    char32_t code = length == 1 ? lead : length == 2 ? (lead & 0x1F) : length == 3 ? (lead & 0x0F) : (lead & 0x07);
    bool valid = length != 0 && i + length <= text.size();
    for (size_t k = 1; valid && k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      valid = (next & 0xC0) == 0x80;
      code = (code << 6) | (next & 0x3F);
    }
    // Overlong forms, surrogates and values past U+10FFFF are not UTF-8.
    static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (valid && (code < kSmallest[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)) valid = false;
    if (!valid) {
      // A byte that starts no valid sequence stands for itself (Latin-1),
      // so a message in a legacy code page stays readable.
      out.push_back(static_cast<wchar_t>(lead));
      ++i;
      continue;
    }
    AppendCodePoint(out, code);
    i += length;
  }
  return out;
}

}  // namespace ostrel
