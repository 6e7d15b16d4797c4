#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <string_view>

namespace ostrel::replay {
namespace {

// A whole decimal number in [low, high].
bool ParseInt(const std::string& text, long low, long high, int* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < low || value > high) return false;
  *out = static_cast<int>(value);
  return true;
}

// Bits per second: a number, optionally with k or M (thousands, millions).
bool ParseBitrate(const std::string& text, int* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (errno != 0 || end == text.c_str()) return false;
  const std::string_view unit(end);
  double scale = 1;
  if (unit == "k" || unit == "K") scale = 1e3;
  else if (unit == "m" || unit == "M") scale = 1e6;
  else if (!unit.empty()) return false;
  const double bits = value * scale;
  if (!(bits >= 100000 && bits <= 200000000)) return false;
  *out = static_cast<int>(bits);
  return true;
}

bool ParseXid(const std::string& text, uint32_t* out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
  if (errno != 0 || *end != '\0' || value == 0 || value > 0xFFFFFFFFull) return false;
  *out = static_cast<uint32_t>(value);
  return true;
}

// "off" switches a sound source off; any other value names its device.
void ParseAudio(const std::string& value, bool* on, std::string* device) {
  *on = value != "off";
  *device = (value == "off" || value == "default") ? std::string() : value;
}

}  // namespace

const char* UsageText() {
  return "usage: ostrel-replay [OPTIONS]            record, keeping the last seconds in memory\n"
         "       ostrel-replay save [SECONDS]       save the running recorder's replay (or its last SECONDS)\n"
         "       ostrel-replay status               print whether it captures, its fps and buffered seconds\n"
         "       ostrel-replay list-audio           list the PulseAudio sinks and sources\n"
         "\n"
         "What to record (default: the active window):\n"
         "  -w, --window XID          the X11 window XID (decimal or 0x hex)\n"
         "  -n, --window-name TITLE   the window titled TITLE (else the only one whose title contains it)\n"
         "  -m, --monitor             the whole monitor holding the window (the monitor under the\n"
         "                            pointer when no window is named)\n"
         "Sound (NAME is a PulseAudio sink or source name, see list-audio; 'off' records none):\n"
         "      --desktop NAME|off    desktop sound from that sink (default: the default sink)\n"
         "      --mic NAME|off        the microphone from that source (default: the default source)\n"
         "Recording:\n"
         "  -r, --fps N               frames per second, 1-240 (default 60)\n"
         "  -H, --height N            scale down to N lines, 0 keeps the source's (default 0)\n"
         "  -b, --bitrate BPS         video bit rate, e.g. 8M or 6000k (default 8M)\n"
         "  -l, --length SECONDS      replay length, 1-3600 (default 30)\n"
         "  -o, --output DIR          where clips go (default ~/Videos/ostrel-replay)\n"
         "      --hardware-only       refuse to record without a hardware H.264 encoder\n"
         "      --socket PATH         control socket (default $XDG_RUNTIME_DIR/ostrel-replay.sock)\n"
         "  -v, --verbose             print the library's log lines on stderr\n"
         "  -h, --help                this text\n"
         "\n"
         "While recording: SIGUSR1 (kill -USR1) or 'ostrel-replay save' saves, SIGINT/SIGTERM stops.\n"
         "Each save prints the clip's path. Exit status: 0 after a clean stop, 1 on failure, 2 on a\n"
         "usage error.\n";
}

ParseResult ParseCommandLine(int argc, char** argv) {
  ParseResult result;
  Options& o = result.options;
  int i = 1;
  if (i < argc) {
    const std::string_view first(argv[i]);
    if (first == "save" || first == "status" || first == "list-audio") {
      o.command = first == "save" ? Command::Save : first == "status" ? Command::Status : Command::ListAudio;
      ++i;
      if (o.command == Command::Save && i < argc && argv[i][0] != '-') {
        if (!ParseInt(argv[i], 1, 3600, &o.saveSeconds)) {
          result.error = std::string("save: SECONDS must be a whole number from 1 to 3600, not '") + argv[i] + "'";
          return result;
        }
        ++i;
      }
    }
  }
  const bool recording = o.command == Command::Record;
  for (; i < argc; ++i) {
    std::string name = argv[i];
    std::string value;
    bool hasValue = false;
    if (const size_t equals = name.find('='); name.rfind("--", 0) == 0 && equals != std::string::npos) {
      value = name.substr(equals + 1);
      name.resize(equals);
      hasValue = true;
    }
    const auto take = [&]() {
      if (hasValue) return true;
      if (i + 1 >= argc) return false;
      value = argv[++i];
      return true;
    };
    const auto bad = [&](const std::string& what) {
      result.error = name + ": " + what;
      return result;
    };
    if (name == "-h" || name == "--help") {
      o.command = Command::Help;
      return result;
    }
    if (name == "--socket") {
      if (!take() || value.empty()) return bad("needs a path");
      o.socketPath = value;
      continue;
    }
    if (name == "-v" || name == "--verbose") {
      o.verbose = true;
      continue;
    }
    if (name.rfind('-', 0) != 0) return bad("is not a command or an option");
    if (!recording) return bad("is not an option of this command");
    if (name == "-m" || name == "--monitor") {
      o.monitor = true;
    } else if (name == "--hardware-only") {
      o.hardwareOnly = true;
    } else if (!take()) {
      return bad("needs a value (or is unknown)");
    } else if (name == "-w" || name == "--window") {
      if (!ParseXid(value, &o.window)) return bad("needs a window id (decimal or 0x hex), not '" + value + "'");
    } else if (name == "-n" || name == "--window-name") {
      if (value.empty()) return bad("needs a title");
      o.windowName = value;
    } else if (name == "--desktop") {
      if (value.empty()) return bad("needs a sink name or 'off'");
      ParseAudio(value, &o.desktopAudio, &o.desktopDevice);
    } else if (name == "--mic") {
      if (value.empty()) return bad("needs a source name or 'off'");
      ParseAudio(value, &o.microphone, &o.microphoneDevice);
    } else if (name == "-r" || name == "--fps") {
      if (!ParseInt(value, 1, 240, &o.fps)) return bad("needs a whole number from 1 to 240, not '" + value + "'");
    } else if (name == "-H" || name == "--height") {
      if (!ParseInt(value, 0, 4320, &o.height) || (o.height != 0 && o.height < 144)) {
        return bad("needs 0 or a whole number from 144 to 4320, not '" + value + "'");
      }
    } else if (name == "-b" || name == "--bitrate") {
      if (!ParseBitrate(value, &o.bitrate)) return bad("needs bits per second from 100k to 200M, not '" + value + "'");
    } else if (name == "-l" || name == "--length") {
      if (!ParseInt(value, 1, 3600, &o.replaySeconds)) {
        return bad("needs a whole number of seconds from 1 to 3600, not '" + value + "'");
      }
    } else if (name == "-o" || name == "--output") {
      if (value.empty()) return bad("needs a folder");
      o.outputDir = value;
    } else {
      return bad("is unknown");
    }
  }
  if (o.window != 0 && !o.windowName.empty()) result.error = "--window and --window-name exclude each other";
  return result;
}

}  // namespace ostrel::replay
