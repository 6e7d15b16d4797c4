// A huge window on a real X server through libostrel_core.so: the size it is
// encoded at, the rate the library sustains, this process's resident memory
// (mean and peak of readings every 100 ms after the first 3 s) and a saved
// clip's frames against its slots. Brings its own Xvfb, with a screen large
// enough for the window; the window redraws itself (in the X server's
// process) at the content rate.
//
// usage: x11_huge_window_bench [width=8000] [height=8000] [seconds=12]
//        [fps=30] [content Hz=5]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <string>
#include <thread>

#include "linux/test_window.h"
#include "linux/x_server.h"
#include "ostrel/ostrel.h"
#include "../huge_window_run.h"

namespace {

void PrintLog(const wchar_t* line) {
  if (std::getenv("HUGE_BENCH_LOG") != nullptr || std::wcsstr(line, L"[CAPABILITY]") != nullptr ||
      std::wcsstr(line, L"Saved clip") != nullptr || std::wcsstr(line, L"failed") != nullptr) {
    std::printf("log: %ls\n", line);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int width = argc > 1 ? std::atoi(argv[1]) : 8000;
  const int height = argc > 2 ? std::atoi(argv[2]) : 8000;
  const double seconds = argc > 3 ? std::atof(argv[3]) : 12.0;
  const int fps = argc > 4 ? std::atoi(argv[4]) : 30;
  const int contentHz = argc > 5 ? std::atoi(argv[5]) : 5;
  // Xvfb's screen rounded up to whole 1024s past the window.
  ostrel::testing::XServer server((width + 1023) / 1024 * 1024, (height + 1023) / 1024 * 1024);
  if (!server.Ready()) {
    std::printf("no X server\n");
    return 1;
  }
  ostrel::testing::TestWindow window(width, height, ostrel::testing::TestWindow::Content::Animated,
                                     ostrel::testing::TestWindow::Clock::now(), contentHz);
  while (!window.Ready()) std::this_thread::sleep_for(std::chrono::milliseconds(10));

  setenv("OSTREL_ALLOW_SOFTWARE_ENCODER", "1", 1);  // libx264 on a machine without a hardware encoder
  Ostrel_SetLogCallback(&PrintLog);
  if (Ostrel_GlobalInitialize() != 0) return 1;
  Ostrel_SetAudioSettings(0.6f, 0.6f, true, true, nullptr, nullptr);  // the video path alone
  const double idleMb = bench::ResidentMb();
  if (const int started = Ostrel_StartCapture(window.Handle(), false, 0, fps, 20000000, 30); started != 0) {
    std::printf("capture did not start: %d\n", started);
    Ostrel_GlobalShutdown();  // delivers the lines that say why
    return 1;
  }
  const bench::ResidentReadings resident = bench::ReadResidentWhileRecording(seconds);
  const double sustainable = Ostrel_GetMeasuredSustainableFps();
  std::string clip;
  const int saved = bench::SaveThenStop(5, "ostrel-x11-huge-window-bench", &clip);
  std::printf("X11 %dx%d (content %d Hz) at %d fps for %.0f s: sustainable %.1f fps; resident %.0f MB idle, %.0f MB "
              "mean, %.0f MB peak\n",
              width, height, contentHz, fps, seconds, sustainable, idleMb, resident.meanMb, resident.peakMb);
  bench::ReportClip(saved, clip, 5);
  Ostrel_GlobalShutdown();
  return 0;
}
