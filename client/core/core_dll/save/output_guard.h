// Owner of the clip's muxer context: whatever way a save ends, a written
// header gets its trailer, an open file is closed and the context is freed.
#pragma once

extern "C" {
#include <libavformat/avformat.h>
}

namespace ostrel {

class OutputGuard {
 public:
  OutputGuard() = default;
  OutputGuard(const OutputGuard&) = delete;
  OutputGuard& operator=(const OutputGuard&) = delete;
  ~OutputGuard() { Finish(); }

  AVFormatContext* context = nullptr;
  bool headerWritten = false;

  // Trailer (when the header was written), file close, context free; leaves
  // the guard empty. The successful save calls it itself.
  void Finish();
};

}  // namespace ostrel
