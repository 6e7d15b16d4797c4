// A saved clip decoded in-process (FFmpeg's mov demuxer, h264 and aac
// decoders): when the window flashed white and when the beep sounded.
#pragma once

#include <string>
#include <vector>

namespace ostrel::check {

struct ClipAnalysis {
  bool opened = false;
  std::string error;  // why it could not be read
  int width = 0, height = 0;
  int videoFrames = 0;
  int audioSampleRate = 0, audioChannels = 0;
  double videoSeconds = 0, audioSeconds = 0;
  std::vector<double> flashes;  // seconds of the first white frame of each flash
  std::vector<double> beeps;    // seconds of each beep's first loud sample
};

// Flash: a frame whose mean luma is near white after a dark one. Beep: a
// sample above `beepThreshold` after at least 0.2 s below it.
ClipAnalysis AnalyseClip(const std::string& utf8Path, float beepThreshold);

// Video onset minus audio onset for every flash, paired with the nearest
// beep (within half a second); flashes without a beep are left out.
std::vector<double> AvOffsets(const ClipAnalysis& clip);

}  // namespace ostrel::check
