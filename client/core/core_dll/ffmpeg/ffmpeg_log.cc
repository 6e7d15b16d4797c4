#include "ffmpeg/ffmpeg_log.h"

#include <cstdarg>
#include <mutex>
#include <utility>

extern "C" {
#include <libavutil/log.h>
}

#include "sync/mutex.h"

namespace ostrel {
namespace {

// Where FFmpeg's lines go, set from any thread.
struct Routing {
  Mutex mutex;
  LogSink sink GUARDED_BY(mutex);
};

Routing& Routed() {
  static Routing routing;
  return routing;
}

// A sink that makes FFmpeg log again on the same thread would otherwise
// deadlock on the sink mutex; such nested lines are dropped.
thread_local bool insideSink = false;
thread_local int quietScopes = 0;

void OnFfmpegLog(void* avClassContext, int level, const char* format, va_list args) {
  if (level < 0 || level > AV_LOG_WARNING || insideSink || quietScopes > 0) return;
  char line[1024];
  // FFmpeg tracks whether the previous piece ended a line, per caller; one
  // flag per thread keeps the "[name @ 0x...]" prefix on line starts only.
  thread_local int printPrefix = 1;
  va_list copy;
  va_copy(copy, args);
  av_log_format_line2(avClassContext, level, format, copy, line, sizeof(line), &printPrefix);
  va_end(copy);
  // Nothing may unwind through FFmpeg's C frames: not a failing sink, not
  // an allocation failure of the line's own strings.
  try {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (text.empty()) return;

    Routing& routing = Routed();
    LockGuard lock(routing.mutex);
    if (!routing.sink) return;
    insideSink = true;
    try {
      routing.sink(Widen(text));
    } catch (...) {
    }
    insideSink = false;
  } catch (...) {
  }
}

}  // namespace

void RouteFfmpegLogTo(LogSink sink) {
  static std::once_flag installed;
  std::call_once(installed, [] { av_log_set_callback(&OnFfmpegLog); });
  Routing& routing = Routed();
  LockGuard lock(routing.mutex);
  routing.sink = std::move(sink);
}

QuietFfmpegLogScope::QuietFfmpegLogScope() { ++quietScopes; }
QuietFfmpegLogScope::~QuietFfmpegLogScope() { --quietScopes; }

}  // namespace ostrel
