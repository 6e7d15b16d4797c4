// Fault and pacing hooks of the save, for tests only. Production code never
// installs any, and with none installed every check is one atomic load.
//
// Most failures of a save are reached with real bad input (garbage segment
// bytes, a folder whose parent is missing, an unknown encoder name); the
// points below cover the FFmpeg calls that real input cannot make fail.
#pragma once

#include <cstdint>
#include <functional>

namespace ostrel::save_hooks {

enum class FaultPoint {
  kProbeStreamInfo,        // avformat_find_stream_info of the first-segment probe
  kAllocOutputContext,     // avformat_alloc_output_context2
  kWriteHeader,            // avformat_write_header
  kPassthroughStreamInfo,  // avformat_find_stream_info of a passthrough segment
  kTranscodeStreamInfo,    // avformat_find_stream_info of a re-encoded segment
  kTranscodeDecoderOpen,   // opening the decoder of a re-encoded segment
  kReencoderOpen,          // avcodec_open2 of the save-time encoder (detail: attempt)
  kAacEncoderOpen,         // avcodec_open2 of the AAC encoder
};

struct SaveTestHooks {
  // True makes the call at that point behave as if it had failed. `detail`
  // is the re-encoder attempt (0 fast, 1..3 quality tiers 2, 1, 0), else 0.
  std::function<bool(FaultPoint point, int detail)> fail;
  // Called on the saving thread right after every progress change (may
  // sleep to let another thread observe the stage, or throw).
  std::function<void(uint32_t stage, uint32_t done, uint32_t total)> afterProgress;
};

// Installs hooks for the saves that follow (nullptr removes them). The
// object must outlive every save that can see it.
void InstallSaveTestHooks(const SaveTestHooks* hooks);

// Used by the save.
bool ShouldFail(FaultPoint point, int detail = 0);
void AfterProgress(uint32_t stage, uint32_t done, uint32_t total);

}  // namespace ostrel::save_hooks
