// Live video path on the fake world: can capture + convert + encode hold the
// requested rate on this machine, and at what CPU cost compared with the
// FFmpeg command-line tool encoding the same frames with the same encoder,
// options and rate control?
//
// usage: live_video_bench [seconds=60] [only-config-index] [clip-seconds=60]
// (config 2 records for clip-seconds first, then saves clips of that length
// with both audio sources back to back while recording 720p60)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <algorithm>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "process_readings.h"
#include "ostrel/ostrel.h"
#include "ostrel/ostrel_sim.h"
#include "platform/sim/sim_scene.h"

namespace {

using bench::ArenaCount;
using bench::CpuSeconds;
using bench::ResidentMb;

std::mutex g_linesMutex;
std::vector<std::wstring> g_lines;
// When the latest save reached its snapshot (after the cut at the request).
std::atomic<int64_t> g_snapshotNs{0};

int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

void CollectLine(const wchar_t* line) {
  if (std::wcsncmp(line, L"[DIAG-SAVE-MEM] stage=snapshot", 30) == 0) g_snapshotNs.store(SteadyNs());
  std::lock_guard lock(g_linesMutex);
  g_lines.emplace_back(line);
}

size_t CountSince(size_t from, const std::wstring& text) {
  std::lock_guard lock(g_linesMutex);
  size_t count = 0;
  for (size_t i = from; i < g_lines.size(); ++i) count += g_lines[i].find(text) != std::wstring::npos;
  return count;
}

size_t LineCount() {
  std::lock_guard lock(g_linesMutex);
  return g_lines.size();
}

long PeakRssMb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024;
}

struct Config {
  const char* name;
  int outputHeight;  // 0: no scaling
  int fps;
  int bitrate;
};

// CPU seconds the fake window spends rendering one 1920x1080 frame: the
// window is the generator, so like the tool's generator it is left out of the
// comparison.
double SceneRenderSeconds() {
  const uint32_t pitch = 1920 * 4;
  std::vector<uint8_t> frame(static_cast<size_t>(pitch) * 1080);
  double start = CpuSeconds(RUSAGE_THREAD);
  for (int i = 0; i < 120; ++i) ostrel::sim::RenderTestScene(frame.data(), pitch, 1920, 1080, i, i * 166666, false);
  return (CpuSeconds(RUSAGE_THREAD) - start) / 120;
}

struct LibraryResult {
  double sustainableFps = 0;
  double cpuPerSecond = 0;
  double windowCpuPerSecond = 0;
  size_t tierChanges = 0;
  size_t syncRotations = 0;
  size_t stallDrops = 0;
  size_t preEncodedSaves = 0;      // clips whose audio came from the running mix
  size_t saveTimeEncodedSaves = 0;  // and those mixed and encoded at save time
};

// While capturing, saves the last replay seconds back to back (each save
// starts as soon as the previous one returned). Returns the number of saves
// and their mean wall time through `saves` and `meanSeconds`.
struct SaveLoad {
  std::atomic<bool> stop{false};
  int saves = 0;
  int failures = 0;
  double totalSeconds = 0;
  std::vector<double> saveSeconds;
  // From the call to the snapshot: the cut of the running segment and audio
  // chunks at the request.
  std::vector<double> cutSeconds;
  void Run() {
    char folder[] = "/tmp/ostrel-bench-XXXXXX";
    if (!mkdtemp(folder)) return;
    std::wstring wideFolder(folder, folder + std::strlen(folder));
    while (!stop.load()) {
      auto begin = std::chrono::steady_clock::now();
      const int64_t beginNs = SteadyNs();
      wchar_t path[1024];
      int result = Ostrel_SaveClipNow(wideFolder.c_str(), path, 1024);
      const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
      totalSeconds += took;
      if (result == 0) saveSeconds.push_back(took);
      const int64_t snapshotNs = g_snapshotNs.load();
      if (snapshotNs > beginNs) cutSeconds.push_back(static_cast<double>(snapshotNs - beginNs) / 1e9);
      ++saves;
      if (result != 0) ++failures;
      if (result == 0) {
        std::string narrow(path, path + std::wcslen(path));
        unlink(narrow.c_str());
      }
    }
    rmdir(folder);
  }
};

LibraryResult RunLibrary(const Config& config, double seconds, SaveLoad* saveLoad = nullptr, int replaySeconds = 30,
                         double warmUpSeconds = 4.0) {
  OstrelSim_Reset();
  Ostrel_GlobalInitialize();
  // Video path alone, unless saves run: then clips carry both audio sources.
  bool mute = saveLoad == nullptr;
  Ostrel_SetAudioSettings(0.6f, 0.6f, mute, mute, nullptr, nullptr);
  void* window = OstrelSim_CreateWindow(1920, 1080);
  OstrelSim_SetWindowContentRate(window, 60.0);
  if (Ostrel_StartCapture(window, false, config.outputHeight, config.fps, config.bitrate, replaySeconds) != 0) {
    std::printf("%s: capture did not start\n", config.name);
    std::exit(1);
  }
  // Warm-up: first segments, spare built (and the replay filled when saving).
  std::this_thread::sleep_for(std::chrono::duration<double>(warmUpSeconds));
  size_t from = LineCount();
  uint64_t simFramesStart = OstrelSim_GetDeliveredFrameCount();
  double cpuStart = CpuSeconds(RUSAGE_SELF);
  auto begin = std::chrono::steady_clock::now();
  std::thread saver;
  if (saveLoad) saver = std::thread([saveLoad] { saveLoad->Run(); });
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  if (saveLoad) {
    saveLoad->stop.store(true);
    saver.join();
  }
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  LibraryResult result;
  result.cpuPerSecond = (CpuSeconds(RUSAGE_SELF) - cpuStart) / elapsed;
  result.windowCpuPerSecond =
      static_cast<double>(OstrelSim_GetDeliveredFrameCount() - simFramesStart) * SceneRenderSeconds() / elapsed;
  result.sustainableFps = Ostrel_GetMeasuredSustainableFps();
  result.tierChanges = CountSince(from, L"[DIAG-BACKOFF]");
  result.syncRotations = CountSince(from, L"[ROTATION-TIMING] usedSpare=0");
  result.stallDrops = CountSince(from, L"[DIAG-FFMPEG-MAP-STALL-DROP]");
  result.preEncodedSaves = CountSince(from, L"stage=audio-pre-encoded");
  result.saveTimeEncodedSaves = CountSince(from, L"stage=audio-encoded");
  Ostrel_StopCapture();
  OstrelSim_DestroyWindow(window);
  Ostrel_GlobalShutdown();
  return result;
}

// The FFmpeg tool encoding the same scene (rendered here, piped as raw
// BGRA) with libx264 and the library's options and rate control. Returns the
// tool's CPU seconds per encoded second.
double RunFfmpegTool(const Config& config, double seconds) {
  int outputWidth = config.outputHeight ? config.outputHeight * 16 / 9 : 1920;
  int outputHeight = config.outputHeight ? config.outputHeight : 1080;
  char command[1024];
  std::snprintf(command, sizeof command,
                "ffmpeg -v error -f rawvideo -pix_fmt bgra -s 1920x1080 -r %d -i - "
                "-vf scale=%d:%d:flags=bicubic:out_color_matrix=bt709:out_range=tv,format=nv12 "
                "-c:v libx264 -preset ultrafast -tune zerolatency -threads 2 -bf 0 -g %d "
                "-b:v %d -maxrate %d -bufsize %d -color_primaries bt709 -color_trc bt709 -colorspace bt709 "
                "-color_range tv -f mp4 -y /tmp/ostrel_bench_tool.mp4",
                config.fps, outputWidth, outputHeight, 2 * config.fps, config.bitrate, 2 * config.bitrate,
                4 * config.bitrate);
  int pipeFds[2];
  if (pipe(pipeFds) != 0) return -1;
  pid_t child = fork();
  if (child == 0) {
    dup2(pipeFds[0], 0);
    close(pipeFds[0]);
    close(pipeFds[1]);
    execl("/bin/sh", "sh", "-c", command, static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipeFds[0]);
  const int frames = static_cast<int>(seconds * config.fps);
  const uint32_t pitch = 1920 * 4;
  std::vector<uint8_t> frame(static_cast<size_t>(pitch) * 1080);
  for (int i = 0; i < frames; ++i) {
    // The window changes at 60 Hz; the encoder sees every (60/fps)-th state.
    uint64_t contentFrame = static_cast<uint64_t>(i) * 60 / config.fps;
    ostrel::sim::RenderTestScene(frame.data(), pitch, 1920, 1080, contentFrame,
                                 static_cast<int64_t>(contentFrame) * 10000000 / 60, false);
    size_t written = 0;
    while (written < frame.size()) {
      ssize_t n = write(pipeFds[1], frame.data() + written, frame.size() - written);
      if (n <= 0) break;
      written += static_cast<size_t>(n);
    }
  }
  close(pipeFds[1]);
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  const double cpu = bench::CpuSeconds(usage);
  unlink("/tmp/ostrel_bench_tool.mp4");
  return cpu / seconds;
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
  Ostrel_SetLogCallback(CollectLine);
  const Config configs[] = {
      {"1920x1080 -> 1280x720 @ 60 fps", 720, 60, 6000000},
      {"1920x1080 @ 30 fps", 0, 30, 6000000},
  };
  std::printf("live video path, %.0f s per run (after 4 s warm-up), fake-world window 1920x1080 changing at 60 Hz\n",
              seconds);
  const int only = argc > 2 ? std::atoi(argv[2]) : -1;
  for (int index = 0; index < 2; ++index) {
    if (only >= 0 && index != only) continue;
    const Config& config = configs[index];
    LibraryResult library = RunLibrary(config, seconds);
    double tool = RunFfmpegTool(config, seconds);
    std::printf("\n%s\n", config.name);
    std::printf("  sustainable fps        %.2f (%.1f%% of requested)\n", library.sustainableFps,
                100.0 * library.sustainableFps / config.fps);
    std::printf("  backoff tier changes   %zu\n", library.tierChanges);
    std::printf("  rotations w/o spare    %zu\n", library.syncRotations);
    std::printf("  stall drops            %zu\n", library.stallDrops);
    const double libraryOnly = library.cpuPerSecond - library.windowCpuPerSecond;
    std::printf("  process CPU per second %.3f s (fake window rendering at 60 Hz: %.3f s of it)\n",
                library.cpuPerSecond, library.windowCpuPerSecond);
    std::printf("  library CPU per second %.3f s (capture + convert + encode + mux)\n", libraryOnly);
    std::printf("  ffmpeg tool CPU/second %.3f s (scale + encode + mux; frames rendered outside)\n", tool);
    std::printf("  library / tool         %.2f\n", tool > 0 ? libraryOnly / tool : 0.0);
  }
  if (only < 0 || only == 2) {
    // Capture keeps its rate while saves of whole replay-length clips with
    // desktop and microphone audio run back to back, once the replay is full.
    const int clipSeconds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 60;
    const Config config{"1920x1080 -> 1280x720 @ 60 fps, saving back to back", 720, 60, 6000000};
    SaveLoad load;
    LibraryResult library = RunLibrary(config, std::min(seconds, 30.0), &load, clipSeconds, clipSeconds + 4.0);
    std::printf("\n%s, %d s clips with both audio sources\n", config.name, clipSeconds);
    std::printf("  sustainable fps        %.2f (%.1f%% of requested)\n", library.sustainableFps,
                100.0 * library.sustainableFps / config.fps);
    std::vector<double> times = load.saveSeconds;
    std::sort(times.begin(), times.end());
    std::printf("  saves                  %d (%d failed), mean %.3f s, median %.3f s, worst %.3f s (target <= 0.60 s)\n",
                load.saves, load.failures, load.saves ? load.totalSeconds / load.saves : 0.0,
                times.empty() ? 0.0 : times[times.size() / 2], times.empty() ? 0.0 : times.back());
    std::printf("  audio                  %zu clips from the running mix, %zu mixed and encoded at save time\n",
                library.preEncodedSaves, library.saveTimeEncodedSaves);
    if (!load.cutSeconds.empty()) {
      std::vector<double> cuts = load.cutSeconds;
      std::sort(cuts.begin(), cuts.end());
      std::printf("  call to snapshot (cut) median %.1f ms, 90th %.1f ms, max %.1f ms\n", 1e3 * cuts[cuts.size() / 2],
                  1e3 * cuts[cuts.size() * 9 / 10], 1e3 * cuts.back());
    }
    std::printf("  backoff tier changes   %zu\n", library.tierChanges);
  }
  std::printf("\npeak resident memory    %ld MB\n", PeakRssMb());
  return 0;
}
