// A long replay in bounded memory on the fake world: a 1920x1080 window
// recorded at 1080p60, 12 Mbit/s, both audio sources, with a memory limit
// and a spill folder. Prints, every 5 s, resident memory beyond the limit
// (the simulated GPU textures and the pages of the libraries Debian's FFmpeg
// loads and the recording never runs left out, as memory_bench does) and
// the disk write rate against the recorded stream's; then the sustainable
// rate, a
// whole-replay save against `cp` of the clip's bytes on the same disk with
// a decode check, and the median of 60 s saves.
//
// usage: replay_storage_bench [record seconds (120)] [limit MB (64)]
//                             [replay seconds (1800)] [folder (/var/tmp)]
// The full run: replay_storage_bench 2100 256 (35 minutes).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "ostrel/ostrel.h"
#include "ostrel/ostrel_sim.h"
#include "platform/sim/sim_gpu.h"
#include "process_readings.h"
#include "resident_mappings.h"
#include "session_log.h"

namespace {

using Clock = std::chrono::steady_clock;
double Since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

bench::SessionLog g_log;
// OSTREL_BENCH_LOG=1 prints every line of the library's log with the time
// since the bench began (where a save spends its time).
const bool g_allLines = std::getenv("OSTREL_BENCH_LOG") != nullptr;
const Clock::time_point g_benchStart = Clock::now();
// From the storage's line at the stop: what the capture recorded (video,
// raw and encoded audio) and what went to the spill files.
std::atomic<double> g_recordedMb{0}, g_spilledMb{0};
void OnLogLine(const wchar_t* line) {
  g_log.Read(line);
  double recorded = 0, spilled = 0;
  if (std::swscanf(line, L"[REPLAY-STORAGE] capture ended: recorded %lf MB, spilled %lf MB", &recorded, &spilled) ==
      2) {
    g_recordedMb = recorded;
    g_spilledMb = spilled;
  }
  if (g_allLines) {
    std::printf("  %9.3f %ls\n", Since(g_benchStart), line);
  } else if (std::wcsncmp(line, L"[REPLAY-STORAGE]", 16) == 0) {
    std::printf("  log: %ls\n", line);
  }
}

// Bytes this process handed to write calls so far (/proc/self/io wchar).
double WrittenMb() {
  FILE* io = std::fopen("/proc/self/io", "r");
  if (!io) return 0;
  char key[64];
  unsigned long long value = 0;
  double mb = 0;
  while (std::fscanf(io, "%63s %llu", key, &value) == 2) {
    if (std::strcmp(key, "wchar:") == 0) mb = static_cast<double>(value) / (1 << 20);
  }
  std::fclose(io);
  return mb;
}

double RunSeconds(const std::string& command) {
  const auto start = Clock::now();
  const int rc = std::system(command.c_str());
  const double seconds = Since(start);
  return rc == 0 ? seconds : -1.0;
}

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

}  // namespace

int main(int argc, char** argv) {
  const double recordSeconds = argc > 1 ? std::atof(argv[1]) : 120.0;
  const int limitMb = argc > 2 ? std::atoi(argv[2]) : 64;
  const int replaySeconds = argc > 3 ? std::atoi(argv[3]) : 1800;
  const std::string base = argc > 4 ? argv[4] : "/var/tmp";
  std::string folder = base + "/ostrel-replay-storage-XXXXXX";
  if (!mkdtemp(folder.data())) return 1;
  const std::string spill = folder + "/spill";

  Ostrel_SetLogCallback(OnLogLine);
  OstrelSim_Reset();
  Ostrel_GlobalInitialize();
  Ostrel_SetAudioSettings(0.6f, 0.6f, false, false, nullptr, nullptr);
  void* window = OstrelSim_CreateWindow(1920, 1080);
  OstrelSim_SetWindowContentRate(window, 60.0);
  if (Ostrel_SetReplayStorage(Wide(spill).c_str(), limitMb) != 0) return 1;
  const double idleRss = bench::ResidentMb();
  if (Ostrel_StartCapture(window, false, 1080, 60, 12000000, replaySeconds) != 0) {
    std::printf("capture did not start\n");
    return 1;
  }
  std::printf("recording %.0f s: 1920x1080 -> 1080p60, 12 Mbit/s, both sources, replay %d s, limit %d MB, "
              "spill folder %s (idle process %.1f MB)\n",
              recordSeconds, replaySeconds, limitMb, spill.c_str(), idleRss);
  // Memory is sampled every 250 ms and each 5 s reading gives its window's
  // mean and peak: single samples land on different phases of the 2 s
  // segment cycle (an encoder being built or retired) and swing with them.
  std::printf("%6s %9s %9s %9s %9s %9s %12s %10s\n", "t s", "rss MB", "textures", "unused", "beyond", "peak",
              "ring MB", "disk MB/s");

  const auto start = Clock::now();
  double filledAt = -1;
  double lastWritten = WrittenMb(), lastTime = 0;
  std::vector<double> beyondAfterFill, diskRates;
  double peakAfterFill = 0;
  double nextReading = 5.0, nextSample = 0.25;
  double unused = bench::UnusedLibrariesMb(bench::ResidentByMapping());
  double windowSum = 0, windowPeak = 0, rss = 0, textures = 0;
  int windowSamples = 0;
  while (Since(start) < recordSeconds) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (filledAt < 0 && OstrelSim_GetSpillWriteCount() > 0) filledAt = Since(start);  // the limit filled
    if (Since(start) >= nextSample) {
      nextSample += 0.25;
      rss = bench::ResidentMb();
      textures = static_cast<double>(ostrel::sim::LiveTextureBytes()) / (1 << 20);
      const double sample = rss - textures - unused - limitMb;
      windowSum += sample;
      windowPeak = windowSamples == 0 ? sample : std::max(windowPeak, sample);
      ++windowSamples;
    }
    if (Since(start) < nextReading || windowSamples == 0) continue;
    nextReading += 5.0;
    const double t = Since(start);
    const double beyond = windowSum / windowSamples;
    const double peak = windowPeak;
    windowSum = 0;
    windowSamples = 0;
    unused = bench::UnusedLibrariesMb(bench::ResidentByMapping());
    const double ring = static_cast<double>(g_log.RingVideoMb() + g_log.RingAudioMb());
    const double written = WrittenMb();
    const double diskRate = (written - lastWritten) / (t - lastTime);
    // Readings over an interval that began once the limit had filled.
    const bool afterFill = filledAt >= 0 && lastTime >= filledAt;
    lastWritten = written;
    lastTime = t;
    if (afterFill) {
      beyondAfterFill.push_back(beyond);
      peakAfterFill = std::max(peakAfterFill, peak);
      diskRates.push_back(diskRate);
    }
    std::printf("%6.0f %9.1f %9.1f %9.1f %9.1f %9.1f %12.0f %10.2f\n", t, rss, textures, unused, beyond, peak, ring,
                diskRate);
    std::fflush(stdout);
  }
  const double fps = Ostrel_GetMeasuredSustainableFps();
  double disk = 0;
  std::printf("sustainable fps: %.2f (aimed at: >= 59.9)\n", fps);
  if (!beyondAfterFill.empty()) {
    const auto [low, high] = std::minmax_element(beyondAfterFill.begin(), beyondAfterFill.end());
    double sum = 0;
    for (double value : beyondAfterFill) sum += value;
    const double mean = sum / static_cast<double>(beyondAfterFill.size());
    std::printf("resident beyond the limit after the first fill (%zu readings of 5 s): mean %.1f MB, window means "
                "%.1f-%.1f MB (%+.1f %% / %+.1f %% of the mean; aimed at: <= 60 MB, within 5 %%), peak %.1f MB\n",
                beyondAfterFill.size(), mean, *low, *high, 100.0 * (*low / mean - 1.0), 100.0 * (*high / mean - 1.0),
                peakAfterFill);
    for (double rate : diskRates) disk += rate;
    disk /= static_cast<double>(diskRates.size());
  } else {
    std::printf("the limit never filled: record longer or lower the limit\n");
  }

  // The whole replay, then `cp` of the clip's bytes on the same disk.
  wchar_t path[4096];
  const std::wstring clips = Wide(folder);
  auto saveStart = Clock::now();
  const int whole = Ostrel_SaveClipNow(clips.c_str(), path, 4096);
  const double wholeSeconds = Since(saveStart);
  const std::string clip(path, path + std::wcslen(path));
  struct stat info {};
  if (whole == 0 && ::stat(clip.c_str(), &info) == 0) {
    const double cpSeconds = RunSeconds("cp '" + clip + "' '" + folder + "/copy.mp4'");
    const double decodeSeconds = RunSeconds("ffmpeg -v error -xerror -i '" + clip + "' -f null - 2>'" + folder +
                                            "/decode.txt'");
    struct stat decodeInfo {};
    const bool clean = decodeSeconds >= 0 && ::stat((folder + "/decode.txt").c_str(), &decodeInfo) == 0 &&
                       decodeInfo.st_size == 0;
    std::printf("whole-replay save: %.1f MB in %.2f s; cp of the same bytes: %.2f s; ratio %.2f (aimed at: <= "
                "1.5); decode %s (%.1f s)\n",
                static_cast<double>(info.st_size) / (1 << 20), wholeSeconds, cpSeconds,
                cpSeconds > 0 ? wholeSeconds / cpSeconds : 0.0, clean ? "clean" : "NOT clean", decodeSeconds);
    unlink(clip.c_str());
    unlink((folder + "/copy.mp4").c_str());
    unlink((folder + "/decode.txt").c_str());
  } else {
    std::printf("whole-replay save failed: %d\n", whole);
  }
  std::vector<double> sixty;
  for (int i = 0; i < 5; ++i) {
    std::this_thread::sleep_for(std::chrono::seconds(2));
    saveStart = Clock::now();
    if (Ostrel_SaveClipSeconds(60, clips.c_str(), path, 4096) == 0) {
      sixty.push_back(Since(saveStart));
      const std::string narrow(path, path + std::wcslen(path));
      unlink(narrow.c_str());
    }
  }
  std::sort(sixty.begin(), sixty.end());
  if (!sixty.empty()) {
    std::printf("60 s saves: %zu, median %.3f s, worst %.3f s (aimed at: median <= 0.15 s)\n", sixty.size(),
                sixty[sixty.size() / 2], sixty.back());
  }
  Ostrel_StopCapture();
  const double recordedSeconds = Since(start);
  // The recorded stream's rate: everything the capture appended to the
  // replay (video, raw and encoded audio, a shared silent buffer once) over
  // its whole length.
  const double streamRate = g_recordedMb.load() / recordedSeconds;
  std::printf("disk writes after the fill: %.2f MB/s; recorded stream: %.2f MB/s (%.1f MB in %.0f s, %.1f MB of it "
              "spilled); ratio %.3f (aimed at: <= 1.1)\n",
              disk, streamRate, g_recordedMb.load(), recordedSeconds, g_spilledMb.load(),
              streamRate > 0 ? disk / streamRate : 0.0);
  std::printf("spill files open after the stop: %d\n", OstrelSim_GetOpenSpillFileCount());
  Ostrel_GlobalShutdown();
  OstrelSim_DestroyWindow(window);
  rmdir(spill.c_str());
  rmdir(folder.c_str());
  return 0;
}
