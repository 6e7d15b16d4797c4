// A PulseAudio server of the test's own: started from a minimal script (the
// native protocol on a socket in a fresh temporary runtime directory, plus
// the modules the test names), with no user configuration, and stopped and
// removed when the object goes. While it runs, PULSE_SERVER points this
// process and the pactl/pacat it starts at it.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace ostrel::testing {

class PulseServer {
 public:
  // `modules`: "module-name arguments" lines loaded after the protocol.
  explicit PulseServer(const std::vector<std::string>& modules);
  ~PulseServer();
  PulseServer(const PulseServer&) = delete;
  PulseServer& operator=(const PulseServer&) = delete;

  // Whether the server answered after starting with every module loaded
  // (the log says why not).
  bool Ready() const { return ready_; }
  std::string ReadLog() const;

  // Stops the server and starts it again from the same script on the same
  // socket (a sound server that restarts); whether it is ready again.
  bool Restart();
  // Stops the server (SIGTERM, SIGKILL after 5 s); PULSE_SERVER keeps
  // naming its socket, so clients find no server there.
  void Stop();

  // Loads a module; its index, or -1.
  int LoadModule(const std::string& module);
  bool UnloadModule(int index);
  bool SetDefaultSink(const std::string& name);
  bool SetDefaultSource(const std::string& name);

 private:
  void Launch();
  // Runs pactl with the given arguments; its output, none on failure.
  std::optional<std::string> Pactl(const std::string& arguments) const;

  std::string directory_;
  pid_t pid_ = -1;
  bool ready_ = false;
  std::string previousServer_;
  bool hadPreviousServer_ = false;
};

// A null sink's module line: name, description, sample format, rate and
// channels.
std::string NullSink(const std::string& name, const std::string& description, const std::string& format = "s16le",
                     int rate = 48000, int channels = 2);
// A microphone with a known tone: a source (not a monitor) in the given
// format carrying what a null sink plays, fed by the server's sine generator
// (half scale). Its module lines.
std::vector<std::string> ToneSource(const std::string& name, const std::string& description, int rate, int channels,
                                    int frequency = 440);
std::vector<std::string> Concat(std::vector<std::vector<std::string>> parts);

}  // namespace ostrel::testing
