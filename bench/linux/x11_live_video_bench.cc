// Live video path on a real X server: can libostrel_core.so hold 1080p ->
// 720p60 (or 1080p60) of an X11 window that changes at 60 Hz, and at what CPU cost per
// recorded second compared with the FFmpeg tool's own X11 grabber
// (-f x11grab of the same window area) with the same encoder, options and
// rate control, measured in the same run? Brings its own Xvfb; the window is
// drawn by a child process, so neither side pays for it.
//
// Both sides' CPU is read over the same window: `seconds` after a 4 s
// warm-up. The library's rate is the one it reports (frames the encoder took, of
// those captured); the tool grabs on its own clock and writes a constant
// rate, so its rate is its frames per recorded second together with how far
// it stayed real time, and its distinct rate leaves out the slots it filled
// by repeating a grab (from its -progress counters).
//
// usage: x11_live_video_bench [seconds=30] [output height=720]
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "linux/test_window.h"
#include "linux/x_server.h"
#include "ostrel/ostrel.h"

namespace {

constexpr int kWidth = 1920, kHeight = 1080;
constexpr int kFps = 60, kBitrate = 6000000;
int g_outputHeight = 720;
double g_seconds = 30;

std::mutex g_linesMutex;
std::vector<std::wstring> g_lines;

void CollectLine(const wchar_t* line) {
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

double Seconds(const rusage& usage) {
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double SelfCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return Seconds(usage);
}

long SelfMinorFaults() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_minflt;
}

// A child process draws the 60 Hz window; its XID comes back through a
// pipe, and closing `*control` ends it.
pid_t StartWindowProcess(uint32_t* xid, int* control) {
  int idPipe[2], controlPipe[2];
  if (pipe(idPipe) != 0 || pipe(controlPipe) != 0) return -1;
  pid_t child = fork();
  if (child == 0) {
    close(idPipe[0]);
    close(controlPipe[1]);
    {
      ostrel::testing::TestWindow window(kWidth, kHeight, ostrel::testing::TestWindow::Content::Animated);
      while (!window.Ready()) std::this_thread::sleep_for(std::chrono::milliseconds(10));
      uint32_t id = window.Xid();
      if (write(idPipe[1], &id, sizeof id) != sizeof id) _exit(1);
      char byte;
      while (read(controlPipe[0], &byte, 1) > 0) {
      }
    }
    _exit(0);
  }
  close(idPipe[1]);
  close(controlPipe[0]);
  *control = controlPipe[1];
  if (read(idPipe[0], xid, sizeof *xid) != sizeof *xid) *xid = 0;
  close(idPipe[0]);
  return child;
}

struct LibraryResult {
  double sustainableFps = 0;
  double cpuPerSecond = 0;
  double faultsPerSecond = 0;  // minor page faults: first touches of memory the process was given
  size_t tierChanges = 0;
  size_t syncRotations = 0;
};

LibraryResult RunLibrary(uint32_t xid, double seconds) {
  LibraryResult result;
  Ostrel_SetLogCallback(CollectLine);
  Ostrel_GlobalInitialize();
  Ostrel_SetAudioSettings(0.6f, 0.6f, true, true, nullptr, nullptr);  // the video path alone
  void* window = reinterpret_cast<void*>(static_cast<uintptr_t>(xid));
  if (int started = Ostrel_StartCapture(window, false, g_outputHeight, kFps, kBitrate, 30); started != 0) {
    std::printf("capture did not start (result %d)\n", started);
    std::exit(1);
  }
  std::this_thread::sleep_for(std::chrono::seconds(4));  // warm-up: first segments, spare built
  const size_t from = LineCount();
  const double cpuStart = SelfCpuSeconds();
  const long faultsStart = SelfMinorFaults();
  const auto begin = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  result.cpuPerSecond = (SelfCpuSeconds() - cpuStart) / elapsed;
  result.faultsPerSecond = static_cast<double>(SelfMinorFaults() - faultsStart) / elapsed;
  result.sustainableFps = Ostrel_GetMeasuredSustainableFps();
  result.tierChanges = CountSince(from, L"[DIAG-BACKOFF]");
  result.syncRotations = CountSince(from, L"[ROTATION-TIMING] usedSpare=0");
  Ostrel_StopCapture();
  Ostrel_GlobalShutdown();
  return result;
}

struct ToolResult {
  double cpuPerSecond = 0;       // over the same window as the library's, after the same warm-up
  double faultsPerSecond = 0;    // minor page faults over that window
  double wholeCpuPerSecond = 0;  // all of its CPU (start-up included) per recorded second
  double fps = 0;
  double speed = 0;  // recorded seconds per wall second (below 1: it fell behind, or its start-up)
  // Output frames the tool made by repeating or leaving out grabbed ones to
  // keep its constant rate: a grab that fell behind shows here, not in fps.
  long duplicated = -1;
  long dropped = -1;
};

// Frames in a file, counted by ffprobe.
long CountFrames(const char* path) {
  std::string command = std::string("ffprobe -v error -select_streams v:0 -count_packets -show_entries "
                                    "stream=nb_read_packets -of csv=p=0 ") +
                        path;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return 0;
  long frames = 0;
  if (std::fscanf(pipe, "%ld", &frames) != 1) frames = 0;
  pclose(pipe);
  return frames;
}

// The last value of `key` in an ffmpeg -progress file; -1 when absent.
long LastProgressValue(const char* path, const std::string& key) {
  FILE* file = std::fopen(path, "r");
  if (file == nullptr) return -1;
  long value = -1;
  char line[256];
  while (std::fgets(line, sizeof line, file) != nullptr) {
    if (std::strncmp(line, key.c_str(), key.size()) == 0 && line[key.size()] == '=') {
      value = std::atol(line + key.size() + 1);
    }
  }
  std::fclose(file);
  return value;
}

struct ProcessReading {
  double cpuSeconds = -1;  // user + system of every thread; -1 when it cannot be read
  long minorFaults = 0;
};

ProcessReading ReadProcess(pid_t pid) {
  ProcessReading reading;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  FILE* file = std::fopen(path, "r");
  if (file == nullptr) return reading;
  char text[1024] = {};
  const size_t length = std::fread(text, 1, sizeof text - 1, file);
  std::fclose(file);
  text[length] = 0;
  // The command name may hold spaces: fields are counted after its ')'.
  const char* after = std::strrchr(text, ')');
  unsigned long minor = 0, user = 0, system = 0;
  if (after == nullptr ||
      std::sscanf(after + 1, " %*c %*d %*d %*d %*d %*d %*u %lu %*u %*u %*u %lu %lu", &minor, &user, &system) != 3) {
    return reading;
  }
  reading.cpuSeconds = static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
  reading.minorFaults = static_cast<long>(minor);
  return reading;
}

// ffmpeg -f x11grab of the window's area (the window sits at 0,0) with the
// library's scaling filter (bicubic; the tool's default chroma input, which
// averages pixel pairs where the library reads every pixel), colour tags,
// encoder options and rate control. Its CPU is read like the library's: over
// `seconds` after the first 4 s, so neither side's start-up counts; the whole
// run per recorded second is shown too.
ToolResult RunFfmpegTool(const std::string& display, double seconds) {
  const char* output = "/tmp/ostrel_x11_bench_tool.mp4";
  const char* progress = "/tmp/ostrel_x11_bench_tool.progress";
  const int outputWidth = g_outputHeight * 16 / 9;
  char text[512];
  std::vector<std::string> args = {"ffmpeg", "-nostdin", "-v", "error", "-progress", progress, "-f", "x11grab",
                                   "-draw_mouse", "0"};
  std::snprintf(text, sizeof text, "%d", kFps);
  args.insert(args.end(), {"-framerate", text});
  std::snprintf(text, sizeof text, "%dx%d", kWidth, kHeight);
  args.insert(args.end(), {"-video_size", text, "-i", display + "+0,0"});
  std::snprintf(text, sizeof text, "%.1f", seconds + 4.0);
  args.insert(args.end(), {"-t", text});
  std::snprintf(text, sizeof text, "scale=%d:%d:flags=bicubic:out_color_matrix=bt709:out_range=tv,format=nv12",
                outputWidth, g_outputHeight);
  args.insert(args.end(), {"-vf", text, "-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency",
                           "-threads", "2", "-bf", "0", "-g", std::to_string(2 * kFps)});
  args.insert(args.end(), {"-b:v", std::to_string(kBitrate), "-maxrate", std::to_string(2 * kBitrate), "-bufsize",
                           std::to_string(4 * kBitrate)});
  args.insert(args.end(), {"-color_primaries", "bt709", "-color_trc", "bt709", "-colorspace", "bt709",
                           "-color_range", "tv", "-f", "mp4", "-y", output});
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  const auto begin = std::chrono::steady_clock::now();
  pid_t child = fork();
  if (child == 0) {
    execvp(argv[0], argv.data());
    _exit(127);
  }
  std::this_thread::sleep_until(begin + std::chrono::seconds(4));
  const ProcessReading windowStart = ReadProcess(child);
  const auto windowBegin = std::chrono::steady_clock::now();
  std::this_thread::sleep_until(windowBegin + std::chrono::duration<double>(seconds));
  const ProcessReading windowEnd = ReadProcess(child);
  const double window = std::chrono::duration<double>(std::chrono::steady_clock::now() - windowBegin).count();
  int status = 0;
  rusage usage{};
  wait4(child, &status, 0, &usage);
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  ToolResult result;
  if (windowStart.cpuSeconds >= 0 && windowEnd.cpuSeconds >= windowStart.cpuSeconds) {
    result.cpuPerSecond = (windowEnd.cpuSeconds - windowStart.cpuSeconds) / window;
    result.faultsPerSecond = static_cast<double>(windowEnd.minorFaults - windowStart.minorFaults) / window;
  }
  result.wholeCpuPerSecond = Seconds(usage) / (seconds + 4.0);
  result.fps = static_cast<double>(CountFrames(output)) / (seconds + 4.0);
  result.speed = (seconds + 4.0) / elapsed;
  result.duplicated = LastProgressValue(progress, "dup_frames");
  result.dropped = LastProgressValue(progress, "drop_frames");
  unlink(output);
  unlink(progress);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 30.0;
  g_seconds = seconds;
  if (argc > 2) g_outputHeight = std::atoi(argv[2]);
  if (seconds <= 0 || g_outputHeight < 144 || g_outputHeight > kHeight || g_outputHeight % 2 != 0) {
    std::printf("usage: x11_live_video_bench [seconds=30] [output height=720, even, 144-%d]\n", kHeight);
    return 2;
  }
  ostrel::testing::XServer xserver(kWidth, kHeight);
  if (!xserver.Ready()) {
    std::printf("Xvfb did not start\n");
    return 1;
  }
  setenv("OSTREL_ALLOW_SOFTWARE_ENCODER", "1", 1);
  uint32_t xid = 0;
  int control = -1;
  pid_t windowProcess = StartWindowProcess(&xid, &control);
  if (windowProcess <= 0 || xid == 0) {
    std::printf("the test window did not come up\n");
    return 1;
  }
  std::printf("X11 live video path, %.0f s per run (after 4 s warm-up): Xvfb window %dx%d changing at 60 Hz -> "
              "%dp%d, libx264 ultrafast/zerolatency, %d bit/s\n",
              seconds, kWidth, kHeight, g_outputHeight, kFps, kBitrate);
  const LibraryResult library = RunLibrary(xid, seconds);
  const ToolResult tool = RunFfmpegTool(xserver.Display(), seconds);
  close(control);
  int status = 0;
  waitpid(windowProcess, &status, 0);

  std::printf("  library sustainable fps  %.2f (%.1f%% of requested)\n", library.sustainableFps,
              100.0 * library.sustainableFps / kFps);
  std::printf("  backoff tier changes     %zu\n", library.tierChanges);
  std::printf("  rotations w/o spare      %zu\n", library.syncRotations);
  std::printf("  library CPU per second   %.3f s (XDamage + MIT-SHM read + convert + encode + mux)\n",
              library.cpuPerSecond);
  std::printf("  library page faults/s    %.0f\n", library.faultsPerSecond);
  std::printf("  ffmpeg x11grab fps       %.2f frames per recorded second, at %.2fx real time\n", tool.fps,
              tool.speed);
  // The library's sustainable rate counts the frames it lost; the tool's
  // comparable figure leaves out the slots it filled with a repeat.
  std::printf("  ffmpeg distinct fps      %.2f (%ld slots repeated, %ld grabs left out to keep the rate)\n",
              tool.duplicated >= 0 ? tool.fps - static_cast<double>(tool.duplicated) / (g_seconds + 4.0) : 0.0,
              tool.duplicated, tool.dropped);
  std::printf("  ffmpeg x11grab CPU/s     %.3f s (grab + scale + encode + mux; whole run %.3f per recorded s)\n",
              tool.cpuPerSecond, tool.wholeCpuPerSecond);
  std::printf("  ffmpeg page faults/s     %.0f\n", tool.faultsPerSecond);
  std::printf("  library / tool           %.2f\n", tool.cpuPerSecond > 0 ? library.cpuPerSecond / tool.cpuPerSecond : 0.0);
  return 0;
}
