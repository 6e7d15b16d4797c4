// The host's markers as chapters of a clip: each starts at its marker and
// runs to the next one or the clip's end, titled with the marker's label;
// before the first marker, an untitled chapter from the clip's start.
// The MP4 muxer writes them twice, as a chapter text track and as a Nero
// chapter list, so players and tools read them whichever they look for.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ffmpeg/ffmpeg_ptr.h"
#include "save/clip_request.h"

namespace ostrel {

struct ClipChapter {
  int64_t startTicks = 0;  // clip-relative, 100 ns
  int64_t endTicks = 0;
  std::string titleUtf8;
};

// Chapters for the markers in [clipStartTicks, clipStartTicks + clipLengthTicks).
std::vector<ClipChapter> ChaptersFor(const std::vector<Marker>& markers, int64_t clipStartTicks,
                                     int64_t clipLengthTicks);

// Adds them to the output context (before its header is written; the
// context owns and frees them).
void AddChapters(AVFormatContext* output, const std::vector<ClipChapter>& chapters);

// Wide text as UTF-8 (UTF-16 or UTF-32 wchar_t; a surrogate that pairs with
// nothing becomes U+FFFD).
std::string WideToUtf8Text(const std::wstring& text);

}  // namespace ostrel
