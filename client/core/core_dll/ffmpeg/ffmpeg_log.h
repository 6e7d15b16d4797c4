// Routes FFmpeg's own log output (warnings and worse) into a log sink
// instead of stderr.
#pragma once

#include "log/log.h"

namespace ostrel {

// Process-wide. The first call installs the FFmpeg log callback; every call
// replaces the sink. Lines above warning level are dropped, the rest are
// formatted the way FFmpeg prints them ("[libx264 @ 0x...] text") without
// the trailing newline. An empty sink drops every line. Once this returns, the
// previous sink is no longer called.
void RouteFfmpegLogTo(LogSink sink);

// While one lives, FFmpeg's lines from this thread are dropped: probing
// encoders that are expected to fail (no such GPU, no driver) must not put
// their complaints into the host's log at every start.
class QuietFfmpegLogScope {
 public:
  QuietFfmpegLogScope();
  ~QuietFfmpegLogScope();
  QuietFfmpegLogScope(const QuietFfmpegLogScope&) = delete;
  QuietFfmpegLogScope& operator=(const QuietFfmpegLogScope&) = delete;
};

}  // namespace ostrel
