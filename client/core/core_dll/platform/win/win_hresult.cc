// The system's message text for a status code, as log lines quote it.
//
// Link: kernel32.
#include <windows.h>

#include <cwctype>
#include <memory>

#include "log/log.h"
#include "platform/hresult.h"

namespace ostrel {
namespace {

struct LocalFreeDeleter {
  void operator()(wchar_t* text) const { LocalFree(text); }
};

}  // namespace

std::wstring HresultMessage(Hresult code) {
  wchar_t* raw = nullptr;
  const DWORD length =
      FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                     reinterpret_cast<wchar_t*>(&raw), 0, nullptr);
  std::unique_ptr<wchar_t, LocalFreeDeleter> owned(raw);
  std::wstring text;
  if (length != 0 && raw != nullptr) text.assign(raw, length);
  // System messages end with CR LF; a log line carries the text inline.
  while (!text.empty() && std::iswspace(static_cast<wint_t>(text.back()))) text.pop_back();
  if (text.empty()) return L"Unknown error 0x" + Hex32(static_cast<uint32_t>(code));
  return text;
}

}  // namespace ostrel
