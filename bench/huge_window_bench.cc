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

#include "process_readings.h"

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
  const auto start = std::chrono::steady_clock::now();
  double sum = 0, peak = 0;
  int readings = 0;
  while (std::chrono::steady_clock::now() - start < std::chrono::duration<double>(seconds)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (std::chrono::steady_clock::now() - start < std::chrono::seconds(3)) continue;
    const double mb = bench::ResidentMb();
    sum += mb;
    peak = std::max(peak, mb);
    ++readings;
  }
  const double sustainable = Ostrel_GetMeasuredSustainableFps();
  const std::filesystem::path folder = std::filesystem::temp_directory_path() / "ostrel-huge-window-bench";
  std::filesystem::create_directories(folder);
  wchar_t path[4096] = {};
  const int saved = Ostrel_SaveClipSeconds(5, folder.wstring().c_str(), path, 4096);
  Ostrel_StopCapture();
  std::printf("%dx%d (content %.0f Hz) at %d fps for %.0f s: sustainable %.1f fps; resident %.0f MB idle, %.0f MB mean, %.0f MB peak\n",
              width, height, contentHz, fps, seconds, sustainable, idleMb, readings ? sum / readings : 0.0, peak);
  if (saved == 0) {
    const std::string narrow = std::filesystem::path(path).string();  // the bench's own ASCII folder
    const std::string command =
        "ffprobe -v error -count_frames -count_packets -select_streams v:0 -show_entries "
        "stream=width,height,nb_read_frames,nb_read_packets,duration -of compact '" +
        narrow + "'";
    std::printf("5 s clip: ");
    std::fflush(stdout);
    if (std::system(command.c_str()) != 0) std::printf("ffprobe failed\n");
  } else {
    std::printf("save returned %d\n", saved);
  }
  if (std::getenv("HUGE_BENCH_KEEP") == nullptr) std::filesystem::remove_all(folder);
  Ostrel_GlobalShutdown();
  return 0;
}
