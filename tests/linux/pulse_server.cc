#include "linux/pulse_server.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <fstream>
#include <sstream>
#include <thread>

namespace ostrel::testing {
namespace {

using namespace std::chrono_literals;

std::string Quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace

std::string NullSink(const std::string& name, const std::string& description, const std::string& format, int rate,
                     int channels) {
  return "module-null-sink sink_name=" + name + " format=" + format + " rate=" + std::to_string(rate) +
         " channels=" + std::to_string(channels) + " sink_properties='device.description=\"" + description + "\"'";
}

std::vector<std::string> ToneSource(const std::string& name, const std::string& description, int rate, int channels,
                                    int frequency) {
  return {NullSink(name + "_feed", name + " feed"),
          "module-sine sink=" + name + "_feed frequency=" + std::to_string(frequency),
          "module-remap-source source_name=" + name + " master=" + name + "_feed.monitor format=s16le rate=" +
              std::to_string(rate) + " channels=" + std::to_string(channels) +
              " source_properties='device.description=\"" + description + "\"'"};
}

std::vector<std::string> Concat(std::vector<std::vector<std::string>> parts) {
  std::vector<std::string> out;
  for (auto& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

PulseServer::PulseServer(const std::vector<std::string>& modules) {
  char pattern[] = "/tmp/ostrel-pulse-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return;
  directory_ = pattern;
  const std::string socket = directory_ + "/native";
  {
    std::ofstream script(directory_ + "/test.pa");
    // Anonymous access: test clients have no cookie of this server.
    script << "load-module module-native-protocol-unix socket=" << socket << " auth-anonymous=1\n";
    for (const std::string& module : modules) script << "load-module " << module << "\n";
  }

  if (const char* previous = std::getenv("PULSE_SERVER")) {
    hadPreviousServer_ = true;
    previousServer_ = previous;
  }
  setenv("PULSE_SERVER", ("unix:" + socket).c_str(), 1);

  Launch();
}

PulseServer::~PulseServer() {
  Stop();
  if (hadPreviousServer_) {
    setenv("PULSE_SERVER", previousServer_.c_str(), 1);
  } else {
    unsetenv("PULSE_SERVER");
  }
  std::error_code ignored;
  if (!directory_.empty()) std::filesystem::remove_all(directory_, ignored);
}

void PulseServer::Launch() {
  ready_ = false;
  if (directory_.empty()) return;
  pid_ = fork();
  if (pid_ == 0) {
    // A test that dies takes its server with it.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    // Nothing of the user's: runtime, state and configuration all live in
    // the temporary directory. As root the server warns and carries on.
    setenv("XDG_RUNTIME_DIR", directory_.c_str(), 1);
    setenv("PULSE_RUNTIME_PATH", (directory_ + "/runtime").c_str(), 1);
    setenv("PULSE_STATE_PATH", (directory_ + "/state").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (directory_ + "/config").c_str(), 1);
    setenv("HOME", directory_.c_str(), 1);
    const int log = open((directory_ + "/server.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (log >= 0) {
      dup2(log, STDOUT_FILENO);
      dup2(log, STDERR_FILENO);
      close(log);
    }
    const std::string scriptPath = directory_ + "/test.pa";
    execlp("pulseaudio", "pulseaudio", "-n", "-F", scriptPath.c_str(), "--daemonize=no", "--exit-idle-time=-1",
           "--system=false", "--use-pid-file=false", "--realtime=false", "--high-priority=false",
           "--log-target=stderr", "--log-level=warning", static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid_ < 0) return;

  for (int i = 0; i < 100 && !ready_; ++i) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      break;
    }
    ready_ = Pactl("info").has_value();
    if (!ready_) std::this_thread::sleep_for(100ms);
  }
  // A module line that did not load leaves a server without what the test
  // asked for.
  if (ReadLog().find("Failed to load module") != std::string::npos) ready_ = false;
}

bool PulseServer::Restart() {
  Stop();
  Launch();
  return ready_;
}

void PulseServer::Stop() {
  if (pid_ <= 0) return;
  kill(pid_, SIGTERM);
  for (int i = 0; i < 50; ++i) {
    if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
      pid_ = -1;
      return;
    }
    std::this_thread::sleep_for(100ms);
  }
  kill(pid_, SIGKILL);
  waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

std::string PulseServer::ReadLog() const {
  std::ifstream in(directory_ + "/server.log");
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::optional<std::string> PulseServer::Pactl(const std::string& arguments) const {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(("pactl " + arguments + " 2>&1").c_str(), "r"), pclose);
  if (!pipe) return std::nullopt;
  std::string output;
  char buffer[512];
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe.get())) output.append(buffer, n);
  const int status = pclose(pipe.release());
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return std::nullopt;
  return output;
}

int PulseServer::LoadModule(const std::string& module) {
  const size_t space = module.find(' ');
  std::string command = "load-module " + module.substr(0, space);
  if (space != std::string::npos) command += " " + Quote(module.substr(space + 1));
  const std::optional<std::string> index = Pactl(command);
  return index && !index->empty() && std::isdigit(static_cast<unsigned char>(index->front())) ? std::stoi(*index) : -1;
}

bool PulseServer::UnloadModule(int index) { return Pactl("unload-module " + std::to_string(index)).has_value(); }
bool PulseServer::SetDefaultSink(const std::string& name) {
  return Pactl("set-default-sink " + Quote(name)).has_value();
}
bool PulseServer::SetDefaultSource(const std::string& name) {
  return Pactl("set-default-source " + Quote(name)).has_value();
}

}  // namespace ostrel::testing
