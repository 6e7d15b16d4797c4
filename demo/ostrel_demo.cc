// ostrel-demo: a host of the library. Records an animated 1920x1080 window
// of the fake world, or with --x11-window / --x11-window-name a real X11
// window with the desktop's sound through libostrel_core.so; prints a status
// line each second, saves the last N seconds with a live progress bar and
// describes the clip it wrote.
//
// Uses only the public headers and the shared libraries (plus libavformat to
// describe the written clip and xcb to find a window by name, as any host
// could). The fake world's library is linked; the Linux one is loaded on
// demand, so one host drives either through the same table of exports.
#include <dlfcn.h>
#include <ostrel/ostrel.h>
#include <ostrel/ostrel_sim.h>
#include <xcb/xcb.h>

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
#include <utility>
#include <vector>

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
  uint32_t x11Window = 0;
  std::string x11WindowName;
};

// The exports the demo calls, from whichever library records.
struct Api {
  decltype(&Ostrel_GlobalInitialize) GlobalInitialize = &Ostrel_GlobalInitialize;
  decltype(&Ostrel_GlobalShutdown) GlobalShutdown = &Ostrel_GlobalShutdown;
  decltype(&Ostrel_SetLogCallback) SetLogCallback = &Ostrel_SetLogCallback;
  decltype(&Ostrel_GetAppVersion) GetAppVersion = &Ostrel_GetAppVersion;
  decltype(&Ostrel_StartCapture) StartCapture = &Ostrel_StartCapture;
  decltype(&Ostrel_StopCapture) StopCapture = &Ostrel_StopCapture;
  decltype(&Ostrel_IsCapturing) IsCapturing = &Ostrel_IsCapturing;
  decltype(&Ostrel_GetMeasuredSustainableFps) GetMeasuredSustainableFps = &Ostrel_GetMeasuredSustainableFps;
  decltype(&Ostrel_SaveClipNow) SaveClipNow = &Ostrel_SaveClipNow;
  decltype(&Ostrel_GetSaveProgress) GetSaveProgress = &Ostrel_GetSaveProgress;
};
Api g_api;

template <typename T>
bool Resolve(void* library, const char* name, T* function) {
  *function = reinterpret_cast<T>(dlsym(library, name));
  if (*function == nullptr) std::printf("%s is missing from the Linux library\n", name);
  return *function != nullptr;
}

// Loads libostrel_core.so (the build's copy, else the loader's search path)
// and points the table at it. The library stays loaded until exit.
bool LoadLinuxLibrary() {
  void* library = dlopen(OSTREL_LINUX_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) library = dlopen("libostrel_core.so.0", RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) {
    std::printf("cannot load libostrel_core.so: %s\n", dlerror());
    return false;
  }
  return Resolve(library, "Ostrel_GlobalInitialize", &g_api.GlobalInitialize) &&
         Resolve(library, "Ostrel_GlobalShutdown", &g_api.GlobalShutdown) &&
         Resolve(library, "Ostrel_SetLogCallback", &g_api.SetLogCallback) &&
         Resolve(library, "Ostrel_GetAppVersion", &g_api.GetAppVersion) &&
         Resolve(library, "Ostrel_StartCapture", &g_api.StartCapture) &&
         Resolve(library, "Ostrel_StopCapture", &g_api.StopCapture) &&
         Resolve(library, "Ostrel_IsCapturing", &g_api.IsCapturing) &&
         Resolve(library, "Ostrel_GetMeasuredSustainableFps", &g_api.GetMeasuredSustainableFps) &&
         Resolve(library, "Ostrel_SaveClipNow", &g_api.SaveClipNow) &&
         Resolve(library, "Ostrel_GetSaveProgress", &g_api.GetSaveProgress);
}

// The window's title: _NET_WM_NAME (UTF-8), else WM_NAME.
std::string WindowTitle(xcb_connection_t* connection, xcb_window_t window, xcb_atom_t netWmName,
                        xcb_atom_t utf8) {
  for (auto [property, type] : {std::pair{netWmName, utf8}, std::pair<xcb_atom_t, xcb_atom_t>{XCB_ATOM_WM_NAME, XCB_ATOM_STRING}}) {
    if (property == XCB_NONE) continue;
    xcb_get_property_reply_t* reply = xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, window, property, type, 0, 1024), nullptr);
    if (reply == nullptr) continue;
    std::string title(static_cast<const char*>(xcb_get_property_value(reply)),
                      static_cast<size_t>(xcb_get_property_value_length(reply)));
    std::free(reply);
    if (!title.empty()) return title;
  }
  return {};
}

xcb_atom_t Atom(xcb_connection_t* connection, const char* name) {
  xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
      connection, xcb_intern_atom(connection, 1, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
  xcb_atom_t atom = reply != nullptr ? reply->atom : XCB_NONE;
  std::free(reply);
  return atom;
}

// The first window (depth first from the root) titled `name`; 0 when none.
uint32_t FindWindowByName(const std::string& name) {
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(connection) != 0) {
    xcb_disconnect(connection);
    return 0;
  }
  const xcb_atom_t netWmName = Atom(connection, "_NET_WM_NAME");
  const xcb_atom_t utf8 = Atom(connection, "UTF8_STRING");
  std::vector<xcb_window_t> pending{xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root};
  uint32_t found = 0;
  while (!pending.empty() && found == 0) {
    const xcb_window_t window = pending.back();
    pending.pop_back();
    if (WindowTitle(connection, window, netWmName, utf8) == name) {
      found = window;
      break;
    }
    xcb_query_tree_reply_t* tree = xcb_query_tree_reply(connection, xcb_query_tree(connection, window), nullptr);
    if (tree == nullptr) continue;
    const xcb_window_t* children = xcb_query_tree_children(tree);
    for (int i = xcb_query_tree_children_length(tree) - 1; i >= 0; --i) pending.push_back(children[i]);
    std::free(tree);
  }
  xcb_disconnect(connection);
  return found;
}

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
      "                   [--run-seconds N] [--output DIR] [--saves N] [--verbosity 0|1|2]\n"
      "                   [--x11-window ID | --x11-window-name NAME]\n"
      "  --x11-window ID        record the X11 window ID (decimal or 0x hex) of $DISPLAY with\n"
      "                         the default PulseAudio sink's sound, through libostrel_core.so\n"
      "  --x11-window-name NAME the same for the first window titled NAME\n");
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
    else if (name == "--x11-window-name") options->x11WindowName = value;
    else if (name == "--x11-window") {
      unsigned long xid = std::strtoul(value.c_str(), &end, 0);
      if (end == nullptr || *end != '\0' || xid == 0 || xid > 0xFFFFFFFFul) return false;
      options->x11Window = static_cast<uint32_t>(xid);
    } else if (!numeric) return false;
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
    result = g_api.SaveClipNow(folder.c_str(), path, 4096);
    finished.store(true);
  });
  const char* stageNames[] = {"idle", "preparing", "audio", "video", "finishing"};
  while (!finished.load()) {
    int stage = 0, done = 0, total = 0;
    if (g_api.GetSaveProgress(&stage, &done, &total)) {
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
  const bool x11 = options.x11Window != 0 || !options.x11WindowName.empty();
  if (x11) {
    if (options.x11Window == 0) {
      options.x11Window = FindWindowByName(options.x11WindowName);
      if (options.x11Window == 0) {
        std::printf("no X11 window titled \"%s\" on display %s\n", options.x11WindowName.c_str(),
                    std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "(DISPLAY unset)");
        return 1;
      }
    }
    // A demo machine often has no hardware encoder; libx264 records then.
    setenv("OSTREL_ALLOW_SOFTWARE_ENCODER", "1", 0);
    if (!LoadLinuxLibrary()) return 1;
  }
  std::printf("ostrel-demo %s: %d fps, max height %d, %d bit/s, replay %d s, run %d s, %d save(s) into %s\n",
              g_api.GetAppVersion(), options.fps, options.maxHeight, options.bitrate, options.replaySeconds,
              options.runSeconds, options.saves, options.outputDir.c_str());
  if (x11) std::printf("recording X11 window 0x%x with desktop sound\n", options.x11Window);

  g_api.SetLogCallback(OnLogLine);
  if (g_api.GlobalInitialize() != 0) {
    std::printf("initialisation failed\n");
    return 1;
  }
  void* window = nullptr;
  if (x11) {
    window = reinterpret_cast<void*>(static_cast<uintptr_t>(options.x11Window));
  } else {
    OstrelSim_Reset();
    window = OstrelSim_CreateWindow(1920, 1080);
  }
  int started = g_api.StartCapture(window, false, options.maxHeight, options.fps, options.bitrate,
                                   options.replaySeconds);
  if (started != 0) {
    std::printf("capture did not start (result %d)\n", started);
    g_api.GlobalShutdown();
    return 1;
  }

  auto begin = std::chrono::steady_clock::now();
  for (int second = 1; second <= options.runSeconds; ++second) {
    std::this_thread::sleep_until(begin + std::chrono::seconds(second));
    // Segments reach the buffer every 2 s; the one being encoded is not saved.
    int buffered = std::min(options.replaySeconds, second / 2 * 2);
    std::lock_guard lock(g_printMutex);
    std::printf("  %3ds | capturing=%s sustainable=%.1f fps buffered~%d s\n", second,
                g_api.IsCapturing() ? "yes" : "no", g_api.GetMeasuredSustainableFps(), buffered);
    std::fflush(stdout);
  }

  int failures = 0;
  for (int i = 1; i <= options.saves; ++i) failures += SaveWithProgress(options, i) ? 0 : 1;

  g_api.StopCapture();
  if (!x11) OstrelSim_DestroyWindow(window);
  g_api.GlobalShutdown();
  return failures == 0 ? 0 : 1;
}
