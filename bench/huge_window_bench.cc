// A huge window in the fake world, recorded at its full size: the encoded
// size, the rate the encoder keeps up with, resident memory (mean and peak
// of readings every 100 ms after the first segment) and a saved clip's
// frames against its slots.
// usage: huge_window_bench [width=7680] [height=4320] [seconds=12] [fps=60]
//        [content Hz=60] (the fake world draws every content frame on the
//        CPU, which at this size is most of the machine's work)
#include <ostrel/ostrel.h>
#include <ostrel/ostrel_sim.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <filesystem>
#include <string>
#include <thread>

#include "huge_window_run.h"

namespace {

void PrintLog(const wchar_t* line) {
  if (std::getenv("HUGE_BENCH_LOG") != nullptr || std::wcsstr(line, L"[CAPABILITY]") != nullptr || std::wcsstr(line, L"Saved clip") != nullptr) {
    std::printf("log: %ls\n", line);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int width = argc > 1 ? std::atoi(argv[1]) : 7680;
  const int height = argc > 2 ? std::atoi(argv[2]) : 4320;
  const double seconds = argc > 3 ? std::atof(argv[3]) : 12.0;
  const int fps = argc > 4 ? std::atoi(argv[4]) : 60;
  const double contentHz = argc > 5 ? std::atof(argv[5]) : 60.0;
  Ostrel_SetLogCallback(&PrintLog);
  if (Ostrel_GlobalInitialize() != 0) return 1;
  void* window = OstrelSim_CreateWindow(width, height);
  OstrelSim_SetWindowContentRate(window, contentHz);
  const double idleMb = bench::ResidentMb();
  if (Ostrel_StartCapture(window, false, 0, fps, 20000000, 30) != 0) {
    std::printf("capture did not start\n");
    return 1;
  }
  const bench::ResidentReadings resident = bench::ReadResidentWhileRecording(seconds);
  const double sustainable = Ostrel_GetMeasuredSustainableFps();
  std::string clip;
  const int saved = bench::SaveThenStop(5, "ostrel-huge-window-bench", &clip);
  std::printf("%dx%d (content %.0f Hz) at %d fps for %.0f s: sustainable %.1f fps; resident %.0f MB idle, %.0f MB mean, %.0f MB peak\n",
              width, height, contentHz, fps, seconds, sustainable, idleMb, resident.meanMb, resident.peakMb);
  bench::ReportClip(saved, clip, 5);
  Ostrel_GlobalShutdown();
  return 0;
}
