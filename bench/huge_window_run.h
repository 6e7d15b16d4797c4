// What the huge-window benches (fake world and X11) measure once capture
// runs: resident memory while recording, then a saved clip's size and its
// frames against its packets.
#pragma once

#include <ostrel/ostrel.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "process_readings.h"

namespace bench {

struct ResidentReadings {
  double meanMb = 0;
  double peakMb = 0;
};

// Readings every 100 ms for `seconds`, leaving out the first 3 s (the first
// segment).
inline ResidentReadings ReadResidentWhileRecording(double seconds) {
  const auto start = std::chrono::steady_clock::now();
  double sum = 0, peak = 0;
  int readings = 0;
  while (std::chrono::steady_clock::now() - start < std::chrono::duration<double>(seconds)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (std::chrono::steady_clock::now() - start < std::chrono::seconds(3)) continue;
    const double mb = ResidentMb();
    sum += mb;
    peak = std::max(peak, mb);
    ++readings;
  }
  return {readings ? sum / readings : 0.0, peak};
}

// Saves the last `seconds` into a folder of its own under the temporary
// folder and stops the capture. Returns the save's result and its path.
inline int SaveThenStop(int seconds, const char* folderName, std::string* clip) {
  const std::filesystem::path folder = std::filesystem::temp_directory_path() / folderName;
  std::filesystem::create_directories(folder);
  wchar_t path[4096] = {};
  const int saved = Ostrel_SaveClipSeconds(seconds, folder.wstring().c_str(), path, 4096);
  Ostrel_StopCapture();
  *clip = std::filesystem::path(path).string();  // the bench's own ASCII folder
  if (saved != 0) std::filesystem::remove_all(folder);
  return saved;
}

// The clip's size, frames and packets (ffprobe), or the save's result; the
// clip's folder is removed unless HUGE_BENCH_KEEP is set.
inline void ReportClip(int saved, const std::string& clip, int seconds) {
  if (saved == 0) {
    const std::string command =
        "ffprobe -v error -count_frames -count_packets -select_streams v:0 -show_entries "
        "stream=width,height,nb_read_frames,nb_read_packets,duration -of compact '" +
        clip + "'";
    std::printf("%d s clip: ", seconds);
    std::fflush(stdout);
    if (std::system(command.c_str()) != 0) std::printf("ffprobe failed\n");
  } else {
    std::printf("save returned %d\n", saved);
  }
  if (std::getenv("HUGE_BENCH_KEEP") == nullptr && !clip.empty()) {
    std::filesystem::remove_all(std::filesystem::path(clip).parent_path());
  }
}

}  // namespace bench
