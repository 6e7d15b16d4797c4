// libostrel_core.so as ostrel-replay drives it, through the public C
// interface only: one capture, saves that block their caller, and the
// library's recent log lines to explain a failure.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "options.h"

namespace ostrel::replay {

struct AudioDevice {
  std::string id;
  std::string name;
  bool isDefault = false;
};
// The PulseAudio sinks (desktop sound) or sources (microphones).
std::vector<AudioDevice> ListAudioDevices(bool sources);

struct SaveResult {
  bool saved = false;
  std::string path;   // the clip, when saved
  std::string error;  // why not, otherwise
};

struct SaveProgress {
  bool running = false;
  int stage = 0;  // 1 preparing, 2 audio, 3 writing video, 4 finishing
  int done = 0, total = 0;
};

class Recorder {
 public:
  explicit Recorder(bool verbose);
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Initialises the library and starts recording `xid` as `options` say.
  bool Start(const Options& options, uint32_t xid, std::string* error);
  // Stops capture (after a running save) and shuts the library down.
  void Stop();

  SaveResult Save(int seconds, const std::string& folder);
  SaveProgress Progress() const;
  bool Capturing() const;
  double Fps() const;
  // What the replay holds: the time since the start, up to its length.
  double BufferedSeconds() const;
  int ReplaySeconds() const { return replaySeconds_; }
  // The library's last lines, for a failure's explanation.
  std::string RecentLog() const;
  // Whether the recorded window (or monitor) went away since the last call.
  static bool TakeTargetClosed();

 private:
  bool initialised_ = false;
  bool started_ = false;
  int replaySeconds_ = 0;
  std::chrono::steady_clock::time_point startedAt_;
};

// UTF-8 <-> the library's wide strings (UTF-32 on Linux).
std::wstring Widen(const std::string& text);
std::string Narrow(const std::wstring& text);

}  // namespace ostrel::replay
