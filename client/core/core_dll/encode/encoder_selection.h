// Hardware encoder probes, the FFmpeg encoder fallback chain and the segment
// encoder factory.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "encode/gpu_encode_context.h"
#include "encode/video_segment_encoder.h"
#include "log/log.h"

namespace ostrel {

// True when the media platform lists a hardware H.264 encoder. Enumerates on
// every call, on a library thread (any caller thread, in any apartment).
// Never throws: out of memory answers false.
bool ProbeHardwareEncoder();
// The same for a caller that must tell "none" from "no memory to look":
// the latter throws std::bad_alloc.
bool HardwareEncoderListed();
// The media platform lets capture start on the software encoder without a
// hardware one (never throws).
bool SoftwareEncoderAllowed();
// True when any listed hardware H.264 encoder is Direct3D 11 aware.
bool ProbeD3D11AwareEncoder();
// True when an FFmpeg encoder of that name exists and opens with probe
// settings and its segment options (h264_mf: hardware transforms only, and
// only when one activates). Call it on a library thread.
bool ProbeFfmpegEncoder(const std::string& name, uint32_t width, uint32_t height, uint32_t fps,
                        uint32_t bitrate);
// The first encoder of the fallback chain that opens, or empty; probes on a
// library thread and logs the transform h264_mf opens.
std::string SelectFfmpegEncoder(uint32_t width, uint32_t height, uint32_t fps, uint32_t bitrate,
                                const LogSink& logSink);

// Opens (or pretends to open) one named encoder; ProbeFfmpegEncoder normally.
using FfmpegEncoderProbe =
    std::function<bool(const std::string& name, uint32_t width, uint32_t height, uint32_t fps, uint32_t bitrate)>;
// SelectFfmpegEncoder with the probe supplied by the caller.
std::string SelectFfmpegEncoderWith(const FfmpegEncoderProbe& probe, uint32_t width, uint32_t height,
                                    uint32_t fps, uint32_t bitrate, const LogSink& logSink);
// Builds the encoder of one segment; throws what its constructor throws.
std::unique_ptr<IVideoSegmentEncoder> MakeSegmentEncoder(const GpuEncodeContext& context, uint32_t width,
                                                         uint32_t height, uint32_t fps, uint32_t bitrate);

}  // namespace ostrel
