// The command line of ostrel-replay: a recorder (the default command) or a
// client of a running recorder (save, status).
#pragma once

#include <cstdint>
#include <string>

namespace ostrel::replay {

enum class Command { Record, Save, Status, ListAudio, Help };

struct Options {
  Command command = Command::Record;
  // What to record: a window by XID, by title, or the active window (none
  // of the first two given); with `monitor`, the whole monitor holding it.
  uint32_t window = 0;
  std::string windowName;
  bool monitor = false;
  // PulseAudio sink (desktop sound) and source (microphone) names; empty
  // means the server's default.
  bool desktopAudio = true;
  std::string desktopDevice;
  bool microphone = true;
  std::string microphoneDevice;
  int fps = 60;
  int height = 0;  // 0: the source's own height
  int bitrate = 8000000;
  int replaySeconds = 30;
  std::string outputDir;   // empty: the default folder
  std::string socketPath;  // empty: the default control socket
  bool hardwareOnly = false;
  bool verbose = false;
  // `save [SECONDS]`: 0 saves the whole replay.
  int saveSeconds = 0;
};

struct ParseResult {
  Options options;
  std::string error;  // a usage error when not empty
};

ParseResult ParseCommandLine(int argc, char** argv);
// The --help text.
const char* UsageText();

}  // namespace ostrel::replay
