// What the benches read from the library's log while it records: the
// rings' size from the memory telemetry line and the watchdog's device
// losses and recoveries. Used by the fake-world benches and by the Windows
// bench under Wine alike.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cwchar>

namespace bench {

// What the fake world's device loss reports (DXGI_ERROR_DEVICE_REMOVED).
constexpr uint32_t kDeviceRemoved = 0x887A0005;

class SessionLog {
 public:
  // Called from the host log callback, on the library's threads. Failed
  // restarts and saves are printed as they come.
  void Read(const wchar_t* line) {
    static constexpr wchar_t kLostLine[] = L"Watchdog: GPU device lost (0x887A0005)";
    unsigned long video = 0, audio = 0;
    const wchar_t* ring = std::wcsstr(line, L"ringV=");
    if (std::wcsncmp(line, L"[DIAG-REC-MEM]", 14) == 0 && ring &&
        std::swscanf(ring, L"ringV=%luMB ringA=%luMB", &video, &audio) == 2) {
      ringVideoMb_.store(static_cast<long>(video));
      ringAudioMb_.store(static_cast<long>(audio));
    }
    if (std::wcsncmp(line, kLostLine, std::wcslen(kLostLine)) == 0) lossesSeen_.fetch_add(1);
    if (std::wcsstr(line, L"capture automatically recovered")) recoveries_.fetch_add(1);
    if (std::wcsncmp(line, L"SaveClipNow() failed", 20) == 0 || std::wcsstr(line, L"restart failed")) {
      std::printf("  log: %ls\n", line);
    }
  }

  long RingVideoMb() const { return ringVideoMb_.load(); }
  long RingAudioMb() const { return ringAudioMb_.load(); }
  int LossesSeen() const { return lossesSeen_.load(); }
  int Recoveries() const { return recoveries_.load(); }

 private:
  std::atomic<long> ringVideoMb_{0};
  std::atomic<long> ringAudioMb_{0};
  std::atomic<int> lossesSeen_{0};
  std::atomic<int> recoveries_{0};
};

}  // namespace bench
