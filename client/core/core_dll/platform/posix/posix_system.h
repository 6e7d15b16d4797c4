// ISystemServices on POSIX systems (shared by the sim and linux backends).
#pragma once

#include "platform/system.h"

namespace ostrel::platform::posix {

class PosixSystemServices final : public ISystemServices {
 public:
  int64_t PerformanceCounter() override;
  int64_t PerformanceFrequency() override;
  LocalTime GetLocalTime() override;
  bool CreateDirectory(const std::wstring& path) override;
  std::optional<std::wstring> GetEnvironmentVariable(const std::wstring& name, size_t capacity,
                                                     size_t* length) override;
  bool GetProcessMemory(ProcessMemory* out) override;
  void ReleaseFreeHeapMemory() override;
  void ReturnLargeBlocksOnFree() override;
  bool HashFileSha256(const std::wstring& path, std::array<uint8_t, 32>* digest) override;
  std::string PathToUtf8(const std::wstring& path) override;
};

// Wide text <-> UTF-8 (wchar_t holds UTF-32 code points here).
std::string WideToUtf8(const std::wstring& text);
std::wstring Utf8ToWide(const std::string& text);

}  // namespace ostrel::platform::posix
