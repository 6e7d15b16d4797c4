// ostrel-replay: a replay recorder for the desktop on libostrel_core.so. It
// records an X11 window (or a monitor) with desktop sound and microphone,
// keeps the last seconds in memory, and saves them as an MP4 on SIGUSR1 or
// on `ostrel-replay save` from another terminal. A host like any other: the
// public C interface only.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "control_socket.h"
#include "options.h"
#include "recorder.h"
#include "status_display.h"
#include "x11_target.h"

namespace ostrel::replay {
namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kRequestTimeoutMs = 2000;
constexpr int kTickMs = 200;
constexpr std::chrono::seconds kStoppedLimit{10};

// mkdir -p; false with `error` set when a folder cannot be made.
bool MakeFolders(const std::string& path, std::string* error) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string prefix = path.substr(0, slash);
    if (!prefix.empty() && mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) {
      *error = "cannot create " + prefix + ": " + std::strerror(errno);
      return false;
    }
    if (slash == std::string::npos) return true;
  }
}

std::string DefaultOutputFolder() {
  const char* home = std::getenv("HOME");
  return std::string(home != nullptr && *home != '\0' ? home : ".") + "/Videos/ostrel-replay";
}

// Saves run one at a time on a thread of their own, so the live line and the
// control socket keep answering while one is written.
class SaveQueue {
 public:
  SaveQueue(Recorder& recorder, StatusDisplay& display, std::string folder)
      : recorder_(recorder), display_(display), folder_(std::move(folder)), thread_([this] { Run(); }) {}
  ~SaveQueue() { Finish(); }
  SaveQueue(const SaveQueue&) = delete;
  SaveQueue& operator=(const SaveQueue&) = delete;

  // `client` (or -1) gets the clip's path or an error line, then is closed.
  void Add(int seconds, int client) {
    std::lock_guard lock(mutex_);
    requests_.push_back({seconds, client});
    cv_.notify_one();
  }

  int Saved() const { return saved_.load(); }
  // Whether a save is asked for or being written.
  bool Busy() {
    std::lock_guard lock(mutex_);
    return active_ || !requests_.empty();
  }

  // Writes the saves asked for so far (no clip is left half written) and
  // ends the thread.
  void Finish() {
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
      stopping_ = true;
    }
    cv_.notify_one();
    thread_.join();
  }

 private:
  struct Request {
    int seconds = 0;
    int client = -1;
  };

  static void Answer(int client, const std::string& text) {
    if (client < 0) return;
    WriteAll(client, text);
    close(client);
  }

  void Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      cv_.wait(lock, [this] { return stopping_ || !requests_.empty(); });
      if (requests_.empty()) return;
      const Request request = requests_.front();
      requests_.pop_front();
      active_ = true;
      lock.unlock();
      const SaveResult result = recorder_.Save(request.seconds, folder_);
      if (result.saved) {
        ++saved_;
        display_.Event("saved " + result.path);
        Answer(request.client, result.path + "\n");
      } else {
        display_.Event("save failed: " + result.error + "\n" + recorder_.RecentLog());
        Answer(request.client, "error: " + result.error + "\n");
      }
      lock.lock();
      active_ = false;
    }
  }

  Recorder& recorder_;
  StatusDisplay& display_;
  const std::string folder_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::deque<Request> requests_;
  bool stopping_ = false;
  bool active_ = false;
  std::atomic<int> saved_{0};
  std::thread thread_;
};

// One request from a client of the control socket.
void Serve(int client, Recorder& recorder, SaveQueue& saves) {
  std::string line;
  if (!ReadRequest(client, kRequestTimeoutMs, &line)) {
    close(client);
    return;
  }
  if (line == "status") {
    char text[256];
    std::snprintf(text, sizeof text, "capturing %s\nfps %.2f\nbuffered %.1f s of %d s\nsaved %d\n",
                  recorder.Capturing() ? "yes" : "no", recorder.Fps(), recorder.BufferedSeconds(),
                  recorder.ReplaySeconds(), saves.Saved());
    WriteAll(client, text);
    close(client);
    return;
  }
  int seconds = 0;
  if (line == "save" || (std::sscanf(line.c_str(), "save %d", &seconds) == 1 && seconds > 0)) {
    saves.Add(seconds, client);
    return;
  }
  WriteAll(client, "error: unknown request \"" + line + "\"\n");
  close(client);
}

int Record(const Options& options) {
  if (IsWaylandSession()) {
    std::fprintf(stderr, "ostrel-replay: Wayland session: recording through XWayland, so only X11 (XWayland) "
                         "windows can be recorded; native Wayland windows and monitors show as black\n");
  }
  const Target target = FindTarget(options);
  if (target.xid == 0) {
    std::fprintf(stderr, "ostrel-replay: %s\n", target.error.c_str());
    return kExitFailure;
  }
  std::string error;
  const std::string socketPath = options.socketPath.empty() ? DefaultSocketPath(&error) : options.socketPath;
  ControlServer control;
  if (socketPath.empty() || !control.Listen(socketPath, &error)) {
    std::fprintf(stderr, "ostrel-replay: %s\n", error.c_str());
    return kExitFailure;
  }
  const std::string folder = options.outputDir.empty() ? DefaultOutputFolder() : options.outputDir;
  if (!MakeFolders(folder, &error)) {
    std::fprintf(stderr, "ostrel-replay: %s\n", error.c_str());
    return kExitFailure;
  }

  // Blocked before the library starts its threads, so that they inherit the
  // mask and the signals arrive here only, through the descriptor.
  sigset_t handled;
  sigemptyset(&handled);
  for (int number : {SIGINT, SIGTERM, SIGUSR1, SIGHUP}) sigaddset(&handled, number);
  pthread_sigmask(SIG_BLOCK, &handled, nullptr);
  // A reader of stdout that goes away must not end the recording.
  signal(SIGPIPE, SIG_IGN);
  const int signals = signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK);
  if (signals < 0) {
    std::fprintf(stderr, "ostrel-replay: signalfd: %s\n", std::strerror(errno));
    return kExitFailure;
  }

  StatusDisplay display(isatty(STDOUT_FILENO) != 0);
  Recorder recorder(options.verbose);
  if (!recorder.Start(options, target.xid, &error)) {
    std::fprintf(stderr, "ostrel-replay: %s\n%s", error.c_str(), recorder.RecentLog().c_str());
    close(signals);
    return kExitFailure;
  }
  char summary[512];
  std::snprintf(summary, sizeof summary, "recording %s at %d fps%s, %d kbit/s, replay %d s, clips in %s",
                target.description.c_str(), options.fps,
                options.height > 0 ? (", " + std::to_string(options.height) + "p").c_str() : "",
                options.bitrate / 1000, options.replaySeconds, folder.c_str());
  display.Event(summary);
  display.Event("save with: kill -USR1 " + std::to_string(getpid()) + "  or  ostrel-replay save [SECONDS]" +
                (options.socketPath.empty() ? "" : " --socket " + socketPath));

  int status = 0;
  {
    SaveQueue saves(recorder, display, folder);
    auto lastCapturing = std::chrono::steady_clock::now();
    for (bool running = true; running;) {
      pollfd waiting[2] = {{signals, POLLIN, 0}, {control.Fd(), POLLIN, 0}};
      if (poll(waiting, 2, kTickMs) < 0 && errno != EINTR) break;
      signalfd_siginfo info{};
      while (read(signals, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if (info.ssi_signo == SIGUSR1) {
          saves.Add(0, -1);
        } else {
          running = false;
        }
      }
      if ((waiting[1].revents & POLLIN) != 0) {
        if (const int client = control.Accept(); client >= 0) Serve(client, recorder, saves);
      }
      if (Recorder::TakeTargetClosed()) {
        display.Event("the recorded window (or monitor) is gone; the replay keeps its last picture");
      }
      // A device-loss restart pauses capture briefly; only a capture that
      // stays stopped ends the program.
      const auto now = std::chrono::steady_clock::now();
      if (recorder.Capturing()) lastCapturing = now;
      if (running && now - lastCapturing > kStoppedLimit) {
        display.Event("capture stopped by itself\n" + recorder.RecentLog());
        status = kExitFailure;
        running = false;
      }
      // A save asked for in this round shows its bar at once, however short.
      display.Refresh(recorder, target.description, saves.Saved(), saves.Busy());
    }
    display.Clear();
    control.Close();
    display.Event("stopping (saves already asked for are written first)");
  }
  recorder.Stop();
  close(signals);
  display.Event("stopped");
  return status;
}

int ListAudio() {
  for (const bool sources : {false, true}) {
    std::printf("%s\n", sources ? "sources (--mic):" : "sinks (--desktop):");
    for (const AudioDevice& device : ListAudioDevices(sources)) {
      std::printf("  %s%s  (%s)\n", device.id.c_str(), device.isDefault ? " [default]" : "", device.name.c_str());
    }
  }
  return 0;
}

}  // namespace
}  // namespace ostrel::replay

int main(int argc, char** argv) {
  using namespace ostrel::replay;
  const ParseResult parsed = ParseCommandLine(argc, argv);
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "ostrel-replay: %s\n\n%s", parsed.error.c_str(), UsageText());
    return kExitUsage;
  }
  const Options& options = parsed.options;
  std::string error;
  const auto socketPath = [&]() {
    std::string path = options.socketPath.empty() ? DefaultSocketPath(&error) : options.socketPath;
    if (path.empty()) std::fprintf(stderr, "ostrel-replay: %s\n", error.c_str());
    return path;
  };
  switch (options.command) {
    case Command::Help:
      std::fputs(UsageText(), stdout);
      return 0;
    case Command::ListAudio:
      return ListAudio();
    case Command::Status: {
      const std::string path = socketPath();
      return path.empty() ? kExitFailure : RunClient(path, "status");
    }
    case Command::Save: {
      const std::string path = socketPath();
      if (path.empty()) return kExitFailure;
      return RunClient(path, options.saveSeconds > 0 ? "save " + std::to_string(options.saveSeconds) : "save");
    }
    case Command::Record:
      break;
  }
  return Record(options);
}
