// What a save does beyond its inputs: the clip file it writes, and the points
// where an observer may watch its progress or make an FFmpeg call fail. The
// session hands every save the plain seam (the file system, no observer); a
// test hands its own, to fill a disk or to stall a stage.
#pragma once

#include <cstdint>
#include <string>

extern "C" {
#include <libavformat/avio.h>
}

namespace ostrel {

// FFmpeg calls that real input cannot make fail.
enum class SaveFault {
  kProbeStreamInfo,        // avformat_find_stream_info of the first-segment probe
  kAllocOutputContext,     // avformat_alloc_output_context2
  kPassthroughStreamInfo,  // the video stream in a passthrough segment's header
  kTranscodeStreamInfo,    // avformat_find_stream_info of a re-encoded segment
  kTranscodeDecoderOpen,   // opening the decoder of a re-encoded segment
  kReencoderOpen,          // avcodec_open2 of the save-time encoder (detail: attempt)
  kAacEncoderOpen,         // avcodec_open2 of the AAC encoder
};

class SaveSeam {
 public:
  virtual ~SaveSeam() = default;
  // Opens the clip file for writing, as avio_open2: >= 0, or an AVERROR.
  virtual int OpenOutput(const std::string& utf8Path, AVIOContext** pb);
  // Closes what OpenOutput opened (after the caller flushed it): >= 0, or an
  // AVERROR when the close itself failed.
  virtual int CloseOutput(AVIOContext** pb);
  // Called on the saving thread after every progress change.
  virtual void AfterProgress(uint32_t /*stage*/, uint32_t /*done*/, uint32_t /*total*/) {}
  // True: the call at `point` counts as failed. `detail` is the re-encoder
  // attempt (0 fast, 1..3 quality tiers 2, 1, 0), else 0.
  virtual bool Fails(SaveFault /*point*/, int /*detail*/) const { return false; }
};

// The file system and nothing else.
SaveSeam& PlainSaveSeam();

}  // namespace ostrel
