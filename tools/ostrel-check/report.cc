#include "report.h"

#include <cstdio>

namespace ostrel::check {
namespace {

std::string Fixed(double value, int decimals) {
  char text[32];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          out += escaped;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

std::string Strings(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + Quote(items[i]);
  return out + "]";
}

std::string Numbers(const std::vector<double>& items, int decimals) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + Fixed(items[i], decimals);
  return out + "]";
}

std::string CheckJson(const CheckResult& check) {
  return std::string("{\"ran\": ") + (check.ran ? "true" : "false") + ", \"passed\": " +
         (check.passed ? "true" : "false") + ", \"details\": " + Strings(check.details) + "}";
}

std::string CheckText(const char* title, const CheckResult& check) {
  std::string out = std::string(title) + ": " + (!check.ran ? "not run" : check.passed ? "pass" : "FAIL") + "\n";
  for (const std::string& line : check.details) out += "    " + line + "\n";
  return out;
}

std::string Milliseconds(const std::vector<double>& seconds) {
  std::string out;
  for (size_t i = 0; i < seconds.size(); ++i) out += (i ? ", " : "") + Fixed(seconds[i] * 1000, 1);
  return out.empty() ? "none measured" : out + " ms";
}

}  // namespace

std::string ReportText(const Report& r) {
  std::string out;
  out += "Ostrel self-check, core.dll " + r.libraryVersion + "\n";
  out += "OS:                 " + r.system.os + "\n";
  for (const std::string& gpu : r.system.gpus) out += "GPU:                " + gpu + "\n";
  out += "capture path:       " + r.capturePath + "\n";
  out += "conversion path:    " + r.conversionPath + "\n";
  out += "encoder:            " + r.encoder + " (" + r.encoderKind + ")\n";
  out += "desktop audio:      " + r.desktopAudio + "\n";
  out += "microphone:         " + r.microphone + "\n";
  if (!r.beepAudio.empty()) out += "beep:               not played (" + r.beepAudio + ")\n";
  out += "start/save results: " + std::to_string(r.startResult) + " / " + std::to_string(r.saveResult) + "\n";
  out += "clip:               " + r.clipPath + "\n";
  if (r.clip.opened) {
    out += "  decoded:          " + std::to_string(r.clip.width) + "x" + std::to_string(r.clip.height) + ", " +
           std::to_string(r.clip.videoFrames) + " frames, video " + Fixed(r.clip.videoSeconds, 2) + " s, audio " +
           Fixed(r.clip.audioSeconds, 2) + " s at " + std::to_string(r.clip.audioSampleRate) + " Hz\n";
    out += "  flashes:          " + std::to_string(r.clip.flashes.size()) + " in the clip (" +
           std::to_string(r.flashesShown) + " shown), beeps heard: " + std::to_string(r.clip.beeps.size()) + "\n";
  } else {
    out += "  decoded:          no (" + r.clip.error + ")\n";
  }
  out += "A/V offset (video - audio) per flash: " + Milliseconds(r.avOffsets) + "\n";
  out += "sustainable fps:    " + Fixed(r.sustainableFps, 2) + "\n";
  out += "CPU per second:     " + Fixed(r.cpuSecondsPerSecond, 3) + " s (this whole process)\n";
  out += CheckText("check 2, COM apartments of host threads", r.apartments);
  out += CheckText("check 7, exports from a thread without COM", r.freshThread);
  out += CheckText("check 8, exit without Ostrel_GlobalShutdown", r.exitWithoutShutdown);
  out += "library capability lines:\n";
  for (const std::string& line : r.capabilityLines) out += "    " + line + "\n";
  out += r.problems.empty() ? "RESULT: pass\n" : "RESULT: FAIL\n";
  for (const std::string& problem : r.problems) out += "    " + problem + "\n";
  return out;
}

std::string ReportJson(const Report& r) {
  std::string out = "{\n";
  auto field = [&](const char* name, const std::string& value, bool last = false) {
    out += std::string("  \"") + name + "\": " + value + (last ? "\n" : ",\n");
  };
  field("libraryVersion", Quote(r.libraryVersion));
  field("os", Quote(r.system.os));
  field("gpus", Strings(r.system.gpus));
  field("capturePath", Quote(r.capturePath));
  field("conversionPath", Quote(r.conversionPath));
  field("encoder", Quote(r.encoder));
  field("encoderKind", Quote(r.encoderKind));
  field("desktopAudio", Quote(r.desktopAudio));
  field("microphone", Quote(r.microphone));
  field("beepError", Quote(r.beepAudio));
  field("startResult", std::to_string(r.startResult));
  field("saveResult", std::to_string(r.saveResult));
  field("clip", Quote(r.clipPath));
  field("clipDecoded", r.clip.opened ? "true" : "false");
  field("clipError", Quote(r.clip.error));
  field("videoFrames", std::to_string(r.clip.videoFrames));
  field("videoSize", Quote(std::to_string(r.clip.width) + "x" + std::to_string(r.clip.height)));
  field("audioSampleRate", std::to_string(r.clip.audioSampleRate));
  field("flashesShown", std::to_string(r.flashesShown));
  field("flashSeconds", Numbers(r.clip.flashes, 4));
  field("beepSeconds", Numbers(r.clip.beeps, 4));
  field("avOffsetsMs", Numbers([&] {
          std::vector<double> ms;
          for (double s : r.avOffsets) ms.push_back(s * 1000);
          return ms;
        }(), 1));
  field("sustainableFps", Fixed(r.sustainableFps, 2));
  field("cpuSecondsPerSecond", Fixed(r.cpuSecondsPerSecond, 3));
  field("check2Apartments", CheckJson(r.apartments));
  field("check7FreshThreadExports", CheckJson(r.freshThread));
  field("check8ExitWithoutShutdown", CheckJson(r.exitWithoutShutdown));
  field("capabilityLines", Strings(r.capabilityLines));
  field("passed", r.problems.empty() ? "true" : "false");
  field("problems", Strings(r.problems), true);
  return out + "}\n";
}

}  // namespace ostrel::check
