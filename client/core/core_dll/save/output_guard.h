// Owner of the clip's muxer context and file. A save that finishes calls
// Finish, which checks every last write; any other way out closes the file
// and removes it: without its trailer an MP4 cannot be played.
#pragma once

#include <string>

extern "C" {
#include <libavformat/avformat.h>
}

#include "save/save_seam.h"

namespace ostrel {

class OutputGuard {
 public:
  explicit OutputGuard(SaveSeam& seam) : seam_(seam) {}
  OutputGuard(const OutputGuard&) = delete;
  OutputGuard& operator=(const OutputGuard&) = delete;
  ~OutputGuard() { Abandon(); }

  AVFormatContext* context = nullptr;
  bool headerWritten = false;

  // Opens the file through the seam: >= 0, or an AVERROR.
  int Open(const std::string& utf8Path);
  // Throws std::runtime_error "write failed for output file (reason)" once a
  // write into the file has failed.
  void CheckWrites() const;
  // Trailer, flush and close, each checked; throws std::runtime_error on a
  // failure (the destructor then removes the file).
  void Finish();

 private:
  void Abandon();

  SaveSeam& seam_;
  std::string utf8Path_;
  bool fileCreated_ = false;  // a file that is not (yet) a complete clip
};

// FFmpeg's text for an AVERROR code.
std::string FfmpegErrorText(int code);

}  // namespace ostrel
