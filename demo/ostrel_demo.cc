// ostrel-demo: a host of the library on the fake world. Records an animated
// 1920x1080 window, prints a status line each second, saves the last N
// seconds with a live progress bar and describes the clip it wrote.
//
// Uses only the public headers and the shared library (plus libavformat to
// describe the written clip, as any host could).
#include <ostrel/ostrel.h>
#include <ostrel/ostrel_sim.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

namespace {

struct Options {
  int fps = 60;
  int maxHeight = 720;
  int bitrate = 6000000;
  int replaySeconds = 30;
  int runSeconds = 12;
  int saves = 1;
  int verbosity = 1;  // 0 lifecycle and failures, 1 + capability and watchdog, 2 everything
  std::string outputDir = "clips";
};

std::atomic<int> g_verbosity{1};
std::mutex g_printMutex;

std::string Narrow(const wchar_t* text) {
  std::string out;
  for (; *text; ++text) out.push_back(*text < 128 ? static_cast<char>(*text) : '?');
  return out;
}

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

void OnLogLine(const wchar_t* line) {
  bool tagged = line[0] == L'[';
  bool capability = std::wcsncmp(line, L"[CAPABILITY]", 12) == 0 || std::wcsncmp(line, L"Watchdog", 8) == 0;
  int needed = !tagged ? 0 : capability ? 1 : 2;
  if (g_verbosity.load() < needed) return;
  std::lock_guard lock(g_printMutex);
  std::printf("\r\033[K  log | %s\n", Narrow(line).c_str());
  std::fflush(stdout);
}

void Usage() {
  std::printf(
      "usage: ostrel-demo [--fps N] [--max-height N] [--bitrate BPS] [--replay-seconds N]\n"
      "                   [--run-seconds N] [--output DIR] [--saves N] [--verbosity 0|1|2]\n");
}

bool ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    if (name == "--help" || name == "-h") return false;
    if (i + 1 >= argc) return false;
    std::string value = argv[++i];
    char* end = nullptr;
    long number = std::strtol(value.c_str(), &end, 10);
    bool numeric = end && *end == '\0';
    if (name == "--output") options->outputDir = value;
    else if (!numeric) return false;
    else if (name == "--fps") options->fps = static_cast<int>(number);
    else if (name == "--max-height") options->maxHeight = static_cast<int>(number);
    else if (name == "--bitrate") options->bitrate = static_cast<int>(number);
    else if (name == "--replay-seconds") options->replaySeconds = static_cast<int>(number);
    else if (name == "--run-seconds") options->runSeconds = static_cast<int>(number);
    else if (name == "--saves") options->saves = static_cast<int>(number);
    else if (name == "--verbosity") options->verbosity = static_cast<int>(number);
    else return false;
  }
  return true;
}

void DescribeClip(const std::string& path) {
  AVFormatContext* input = nullptr;
  if (avformat_open_input(&input, path.c_str(), nullptr, nullptr) < 0) {
    std::printf("  clip | cannot be opened for inspection\n");
    return;
  }
  if (avformat_find_stream_info(input, nullptr) >= 0) {
    std::printf("  clip | duration %.2f s, %u stream(s)\n",
                input->duration > 0 ? input->duration / static_cast<double>(AV_TIME_BASE) : 0.0,
                input->nb_streams);
    for (unsigned i = 0; i < input->nb_streams; ++i) {
      const AVCodecParameters* codec = input->streams[i]->codecpar;
      const AVStream* stream = input->streams[i];
      double seconds = stream->duration > 0 ? stream->duration * av_q2d(stream->time_base) : 0.0;
      if (codec->codec_type == AVMEDIA_TYPE_VIDEO) {
        std::printf("       | #%u video %s %dx%d, %lld frames, %.2f s\n", i, avcodec_get_name(codec->codec_id),
                    codec->width, codec->height, static_cast<long long>(stream->nb_frames), seconds);
      } else if (codec->codec_type == AVMEDIA_TYPE_AUDIO) {
        std::printf("       | #%u audio %s %d Hz, %d channels, %lld kbit/s, %.2f s\n", i,
                    avcodec_get_name(codec->codec_id), codec->sample_rate, codec->ch_layout.nb_channels,
                    static_cast<long long>(codec->bit_rate / 1000), seconds);
      }
    }
  }
  avformat_close_input(&input);
}

bool SaveWithProgress(const Options& options, int index) {
  std::atomic<bool> finished{false};
  int result = -1;
  wchar_t path[4096] = {};
  std::wstring folder = Widen(options.outputDir);
  std::thread saver([&] {
    result = Ostrel_SaveClipNow(folder.c_str(), path, 4096);
    finished.store(true);
  });
  const char* stageNames[] = {"idle", "preparing", "audio", "video", "finishing"};
  while (!finished.load()) {
    int stage = 0, done = 0, total = 0;
    if (Ostrel_GetSaveProgress(&stage, &done, &total)) {
      int width = 30;
      int filled = total > 0 ? width * done / total : (stage == 4 ? width : 0);
      std::lock_guard lock(g_printMutex);
      std::printf("\r  save %d | %-9s [%.*s%*s] %d/%d", index, stageNames[stage < 5 ? stage : 0], filled,
                  "##############################", width - filled, "", done, total);
      std::fflush(stdout);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  saver.join();
  std::printf("\r\033[K");
  if (result != 0) {
    std::printf("  save %d | failed with result %d\n", index, result);
    return false;
  }
  std::string written = Narrow(path);
  std::printf("  save %d | wrote %s\n", index, written.c_str());
  DescribeClip(written);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, &options)) {
    Usage();
    return 2;
  }
  g_verbosity.store(options.verbosity);
  std::printf("ostrel-demo %s: %d fps, max height %d, %d bit/s, replay %d s, run %d s, %d save(s) into %s\n",
              Ostrel_GetAppVersion(), options.fps, options.maxHeight, options.bitrate, options.replaySeconds,
              options.runSeconds, options.saves, options.outputDir.c_str());

  Ostrel_SetLogCallback(OnLogLine);
  if (Ostrel_GlobalInitialize() != 0) {
    std::printf("initialisation failed\n");
    return 1;
  }
  OstrelSim_Reset();
  void* window = OstrelSim_CreateWindow(1920, 1080);
  int started = Ostrel_StartCapture(window, false, options.maxHeight, options.fps, options.bitrate,
                                    options.replaySeconds);
  if (started != 0) {
    std::printf("capture did not start (result %d)\n", started);
    Ostrel_GlobalShutdown();
    return 1;
  }

  auto begin = std::chrono::steady_clock::now();
  for (int second = 1; second <= options.runSeconds; ++second) {
    std::this_thread::sleep_until(begin + std::chrono::seconds(second));
    // Segments reach the buffer every 2 s; the one being encoded is not saved.
    int buffered = std::min(options.replaySeconds, second / 2 * 2);
    std::lock_guard lock(g_printMutex);
    std::printf("  %3ds | capturing=%s sustainable=%.1f fps buffered~%d s\n", second,
                Ostrel_IsCapturing() ? "yes" : "no", Ostrel_GetMeasuredSustainableFps(), buffered);
    std::fflush(stdout);
  }

  int failures = 0;
  for (int i = 1; i <= options.saves; ++i) failures += SaveWithProgress(options, i) ? 0 : 1;

  Ostrel_StopCapture();
  OstrelSim_DestroyWindow(window);
  Ostrel_GlobalShutdown();
  return failures == 0 ? 0 : 1;
}
