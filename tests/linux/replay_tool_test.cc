// ostrel-replay, the command-line recorder, as a person runs it: the built
// program against an Xvfb window and a PulseAudio server of the test's own,
// saving through SIGUSR1 and through `ostrel-replay save`, with the clips
// read back.
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "linux/pulse_server.h"
#include "linux/test_window.h"
#include "linux/x_server.h"
#include "support/clip_probe.h"

namespace ostrel::testing {
namespace {

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

// A run of the tool: its output lines as they come, its exit status.
class ToolProcess {
 public:
  // With `terminal`, stdout and stderr are one pseudo-terminal of 120
  // columns, read as stdout.
  explicit ToolProcess(const std::vector<std::string>& arguments, bool terminal = false) {
    std::vector<char*> argv{const_cast<char*>(OSTREL_REPLAY_TOOL)};
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    if (terminal) {
      int master = -1;
      winsize size{};
      size.ws_row = 40;
      size.ws_col = 120;
      pid_ = forkpty(&master, nullptr, nullptr, &size);
      if (pid_ == 0) {
        execv(argv[0], argv.data());
        _exit(127);
      }
      if (pid_ > 0) readers_.emplace_back([this, master] { Collect(master, &stdout_); });
      return;
    }
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out[1], STDOUT_FILENO);
      dup2(err[1], STDERR_FILENO);
      close(out[0]);
      close(err[0]);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(out[1]);
    close(err[1]);
    readers_.emplace_back([this, fd = out[0]] { Collect(fd, &stdout_); });
    readers_.emplace_back([this, fd = err[0]] { Collect(fd, &stderr_); });
  }
  ~ToolProcess() {
    if (pid_ > 0 && status_ < 0) {
      kill(pid_, SIGKILL);
      Wait(10.0);
    }
    for (std::thread& reader : readers_) reader.join();
  }

  pid_t Pid() const { return pid_; }

  // The exit status once it ended within `seconds`; -1 while it runs.
  int Wait(double seconds) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (status_ < 0 && Clock::now() < deadline) {
      int raw = 0;
      if (waitpid(pid_, &raw, WNOHANG) == pid_) {
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return status_;
  }

  // The first stdout line starting with `prefix` within `seconds`, without
  // the prefix; empty when none came.
  std::string AwaitLine(const std::string& prefix, double seconds, size_t skip = 0) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < deadline) {
      {
        std::lock_guard lock(mutex_);
        size_t seen = 0;
        for (const std::string& line : Lines(stdout_)) {
          if (line.rfind(prefix, 0) == 0 && seen++ == skip) return line.substr(prefix.size());
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return {};
  }

  // Whether stdout holds `text` within `seconds`.
  bool AwaitText(const std::string& text, double seconds) {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < deadline) {
      if (Stdout().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  std::string Stdout() {
    std::lock_guard lock(mutex_);
    return stdout_;
  }
  std::string Stderr() {
    std::lock_guard lock(mutex_);
    return stderr_;
  }

 private:
  static std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
      lines.push_back(text.substr(start, end - start));
    }
    return lines;
  }

  void Collect(int fd, std::string* into) {
    char buffer[1024];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
      std::lock_guard lock(mutex_);
      into->append(buffer, static_cast<size_t>(n));
    }
    close(fd);
  }

  pid_t pid_ = -1;
  int status_ = -1;
  std::mutex mutex_;
  std::string stdout_, stderr_;
  std::vector<std::thread> readers_;
};

// A client command run to its end: exit status and stdout.
struct ClientRun {
  int status = -1;
  std::string out, err;
};
ClientRun RunClient(const std::vector<std::string>& arguments, double seconds = 60.0) {
  ToolProcess process(arguments);
  ClientRun run;
  run.status = process.Wait(seconds);
  // The readers end with the process's pipes.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  run.out = process.Stdout();
  run.err = process.Stderr();
  return run;
}

std::string Trim(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

void SetTitle(uint32_t window, const std::string& title) {
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  xcb_change_property(connection, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                      static_cast<uint32_t>(title.size()), title.data());
  std::free(xcb_get_input_focus_reply(connection, xcb_get_input_focus(connection), nullptr));
  xcb_disconnect(connection);
}

class ReplayToolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "ostrel-replay-test-XXXXXX").string();
    scratch_ = mkdtemp(pattern.data());
    // The control socket goes into the runtime folder.
    fs::create_directories(scratch_ / "runtime");
    fs::permissions(scratch_ / "runtime", fs::perms::owner_all);
    setenv("XDG_RUNTIME_DIR", (scratch_ / "runtime").c_str(), 1);
    unsetenv("WAYLAND_DISPLAY");
  }
  void TearDown() override {
    window_.reset();
    pulse_.reset();
    xserver_.reset();
    std::error_code ignored;
    fs::remove_all(scratch_, ignored);
  }

  void StartWorld() {
    xserver_ = std::make_unique<XServer>(1280, 720);
    ASSERT_TRUE(xserver_->Ready()) << "Xvfb did not start";
    pulse_ = std::make_unique<PulseServer>(
        Concat({{NullSink("speakers", "Speakers")}, ToneSource("mic", "Test mic", 48000, 1, 440)}));
    ASSERT_TRUE(pulse_->Ready()) << pulse_->ReadLog();
    ASSERT_TRUE(pulse_->SetDefaultSink("speakers"));
    window_ = std::make_unique<TestWindow>(640, 360, TestWindow::Content::Animated);
    for (int i = 0; i < 500 && !window_->Ready(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(window_->Ready());
  }

  std::string Xid() const { return std::to_string(window_->Xid()); }
  fs::path Clips() const { return scratch_ / "clips"; }

  fs::path scratch_;
  std::unique_ptr<XServer> xserver_;
  std::unique_ptr<PulseServer> pulse_;
  std::unique_ptr<TestWindow> window_;
};

// A clip of the animated window: H.264 in its size, about `seconds` long,
// the tone of the microphone in its sound, the window's white flash (once a
// second) in its picture.
void ExpectWindowClip(const std::string& path, double seconds) {
  SCOPED_TRACE(path);
  ASSERT_FALSE(path.empty());
  ASSERT_TRUE(fs::exists(path));
  const ClipInfo clip = ProbeClip(path, /*decode=*/true);
  ASSERT_TRUE(clip.opened);
  ASSERT_TRUE(clip.video.present);
  EXPECT_EQ(clip.video.codec, "h264");
  EXPECT_EQ(clip.video.width, 640);
  EXPECT_EQ(clip.video.height, 360);
  EXPECT_NEAR(clip.durationSeconds, seconds, 0.6);
  EXPECT_FALSE(FlashOnsets(clip.video).empty()) << "the window's flashes are not in the picture";
  ASSERT_TRUE(clip.audio.present);
  float loudest = 0;
  for (float peak : clip.audio.peak) loudest = std::max(loudest, peak);
  EXPECT_GT(loudest, 0.2f) << "the microphone's tone is not in the sound";
}

TEST_F(ReplayToolTest, SavesOnSignalAndOnCommandAndStopsCleanly) {
  StartWorld();
  ToolProcess tool({"--window", Xid(), "--fps", "30", "--length", "4", "--mic", "mic", "--desktop", "speakers",
                    "--output", Clips().string()});
  ASSERT_FALSE(tool.AwaitLine("recording window ", 60).empty()) << tool.Stdout() << tool.Stderr();
  // Not a terminal: plain lines, no live status line.
  EXPECT_EQ(tool.Stdout().find('\r'), std::string::npos);
  std::this_thread::sleep_for(std::chrono::seconds(6));  // more than the replay's length

  // A second recorder on the same control socket is refused at once.
  {
    const ClientRun second = RunClient({"--window", Xid(), "--output", Clips().string()}, 30);
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("another ostrel-replay is already recording"), std::string::npos) << second.err;
  }

  const ClientRun status = RunClient({"status"});
  EXPECT_EQ(status.status, 0) << status.err;
  EXPECT_NE(status.out.find("capturing yes"), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("buffered 4.0 s of 4 s"), std::string::npos) << status.out;
  double fps = 0;
  ASSERT_NE(status.out.find("fps "), std::string::npos);
  fps = std::atof(status.out.c_str() + status.out.find("fps ") + 4);
  EXPECT_GT(fps, 20.0) << status.out;

  // SIGUSR1: the whole replay.
  ASSERT_EQ(kill(tool.Pid(), SIGUSR1), 0);
  const std::string signalled = tool.AwaitLine("saved ", 60);
  ExpectWindowClip(signalled, 4.0);

  // The command: the last 2 s, its path printed by the client too.
  const ClientRun saved = RunClient({"save", "2"});
  EXPECT_EQ(saved.status, 0) << saved.err;
  const std::string commanded = Trim(saved.out);
  EXPECT_EQ(tool.AwaitLine("saved ", 30, 1), commanded);
  ExpectWindowClip(commanded, 2.0);

  // SIGTERM: exit 0, the socket gone, nothing in the folder but the clips.
  ASSERT_EQ(kill(tool.Pid(), SIGTERM), 0);
  EXPECT_EQ(tool.Wait(60), 0) << tool.Stderr();
  EXPECT_FALSE(fs::exists(scratch_ / "runtime" / "ostrel-replay.sock"));
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(Clips())) files.push_back(entry.path().string());
  std::sort(files.begin(), files.end());
  std::vector<std::string> expected{signalled, commanded};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(files, expected);
  const ClientRun after = RunClient({"status"});
  EXPECT_EQ(after.status, 1);
  EXPECT_NE(after.err.find("no recorder is running"), std::string::npos) << after.err;
}

// A window found by its title, sound off, on a Wayland session (said at
// the start), stopped with SIGINT while a save runs: the save completes,
// then the tool exits 0.
TEST_F(ReplayToolTest, WindowByTitleWithoutSoundStopsAfterTheRunningSave) {
  StartWorld();
  SetTitle(window_->Xid(), "Replay test window");
  setenv("WAYLAND_DISPLAY", "wayland-test", 1);
  ToolProcess tool({"--window-name", "test window", "--fps", "30", "--length", "3", "--mic", "off", "--desktop",
                    "off", "--output", Clips().string()});
  unsetenv("WAYLAND_DISPLAY");
  const std::string recording = tool.AwaitLine("recording window ", 60);
  ASSERT_FALSE(recording.empty()) << tool.Stdout() << tool.Stderr();
  EXPECT_NE(recording.find("\"Replay test window\""), std::string::npos) << recording;
  EXPECT_NE(tool.Stderr().find("Wayland session: recording through XWayland"), std::string::npos) << tool.Stderr();
  std::this_thread::sleep_for(std::chrono::seconds(4));
  ASSERT_EQ(kill(tool.Pid(), SIGUSR1), 0);
  ASSERT_EQ(kill(tool.Pid(), SIGINT), 0);
  EXPECT_EQ(tool.Wait(60), 0) << tool.Stderr();
  const std::string path = tool.AwaitLine("saved ", 1);
  ASSERT_FALSE(path.empty()) << tool.Stdout();
  const ClipInfo clip = ProbeClip(path, /*decode=*/false);
  ASSERT_TRUE(clip.opened);
  EXPECT_TRUE(clip.video.present);
  EXPECT_NEAR(clip.durationSeconds, 3.0, 0.6);
}

// On a terminal: one live line redrawn in place (capturing, rate, buffered
// seconds), a progress bar while a save is written, the path on a line.
TEST_F(ReplayToolTest, TerminalShowsALiveStatusLineAndASaveProgressBar) {
  StartWorld();
  ToolProcess tool({"--window", Xid(), "--fps", "30", "--length", "3", "--mic", "off", "--desktop", "off",
                    "--output", Clips().string()},
                   /*terminal=*/true);
  ASSERT_TRUE(tool.AwaitText("/3 s buffered", 60)) << tool.Stdout();
  ASSERT_EQ(kill(tool.Pid(), SIGUSR1), 0);
  ASSERT_TRUE(tool.AwaitText("\033[Ksaved " + Clips().string(), 60)) << tool.Stdout();
  ASSERT_EQ(kill(tool.Pid(), SIGINT), 0);
  EXPECT_EQ(tool.Wait(60), 0);
  const std::string shown = tool.Stdout();
  EXPECT_NE(shown.find("\r\033[KREC window 0x"), std::string::npos) << shown;
  EXPECT_NE(shown.find("\r\033[Ksaving ["), std::string::npos) << shown;
  for (size_t at = 0; (at = shown.find("\r\033[K", at)) != std::string::npos; at += 4) {
    const std::string line = shown.substr(at + 4, shown.find_first_of("\r\n", at + 4) - at - 4);
    if (line.rfind("REC", 0) == 0 || line.rfind("saving", 0) == 0) {
      EXPECT_LT(line.size(), 120u) << "a live line wider than the terminal: " << line;
    }
  }
}

TEST_F(ReplayToolTest, BadArgumentsAreUsageErrors) {
  const std::vector<std::vector<std::string>> bad = {
      {"--fps", "0"},          {"--fps", "sixty"}, {"--window", "0xZZ"},     {"--bogus"},
      {"--height", "-5"},      {"--bitrate", "9G"}, {"--length"},             {"save", "ten"},
      {"status", "--fps", "5"}, {"record"},         {"-w", "1", "-n", "both"}, {"--length", "0"},
  };
  for (const auto& arguments : bad) {
    std::string joined;
    for (const std::string& argument : arguments) joined += argument + " ";
    SCOPED_TRACE(joined);
    const ClientRun run = RunClient(arguments, 10);
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("usage: ostrel-replay"), std::string::npos) << run.err;
    EXPECT_TRUE(run.out.empty()) << run.out;
  }
  const ClientRun help = RunClient({"--help"}, 10);
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("usage: ostrel-replay"), std::string::npos);
  // Without a display there is nothing to record: a failure, not a usage error.
  const char* display = std::getenv("DISPLAY");
  const std::string saved = display != nullptr ? display : "";
  unsetenv("DISPLAY");
  const ClientRun noDisplay = RunClient({"--window", "0x400001"}, 10);
  if (!saved.empty()) setenv("DISPLAY", saved.c_str(), 1);
  EXPECT_EQ(noDisplay.status, 1);
  EXPECT_NE(noDisplay.err.find("DISPLAY is not set"), std::string::npos) << noDisplay.err;
}

}  // namespace
}  // namespace ostrel::testing
