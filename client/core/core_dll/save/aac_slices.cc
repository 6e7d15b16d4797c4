#include "save/aac_slices.h"

#include <algorithm>
#include <exception>
#include <new>
#include <thread>

#include "save/aac_encoder.h"

namespace ostrel {

namespace {

constexpr uint64_t kFrame = 1024;  // AAC-LC samples per encoder frame
constexpr uint64_t kMinSliceFrames = 5 * static_cast<uint64_t>(AacEncoder::kSampleRate);

struct Slice {
  uint64_t begin = 0;  // first sample kept (a multiple of kFrame)
  uint64_t end = 0;    // one past the last sample kept
  std::vector<ffmpeg::PacketPtr> packets;
  std::exception_ptr error;
};

void EncodeSlice(const float* interleaved, uint64_t frames, Slice& slice) {
  const uint64_t overlap = kAacSliceOverlapFrames * kFrame;
  const uint64_t feedBegin = slice.begin > overlap ? slice.begin - overlap : 0;
  const uint64_t feedEnd = std::min(frames, slice.end + overlap);
  const bool first = slice.begin == 0;
  const bool last = slice.end >= frames;
  AacEncoder encoder(
      [&slice, first, last](AVPacket* packet) {
        // A packet covers the samples from its time stamp on; the first
        // slice keeps the priming packet before 0.
        if ((!first && packet->pts < static_cast<int64_t>(slice.begin)) ||
            (!last && packet->pts >= static_cast<int64_t>(slice.end))) {
          return;
        }
        ffmpeg::PacketPtr copy(av_packet_clone(packet));
        if (!copy) throw std::bad_alloc();
        slice.packets.push_back(std::move(copy));
      },
      feedBegin);
  // Fed in encoder frames, as the clip's encoder would be; only the end of
  // the mix gets a shorter last frame.
  encoder.Feed(interleaved + feedBegin * 2, feedEnd - feedBegin);
  encoder.Flush();
}

}  // namespace

unsigned AacSliceCount(uint64_t frames, unsigned hardwareThreads) {
  const uint64_t byLength = std::max<uint64_t>(frames / kMinSliceFrames, 1);
  return static_cast<unsigned>(std::clamp<uint64_t>(std::min<uint64_t>(hardwareThreads, byLength), 1, 4));
}

std::vector<ffmpeg::PacketPtr> EncodeAacInSlices(const float* interleaved, uint64_t frames, unsigned slices) {
  slices = std::max(slices, 1u);
  const uint64_t encoderFrames = (frames + kFrame - 1) / kFrame;
  std::vector<Slice> parts(slices);
  for (unsigned i = 0; i < slices; ++i) {
    parts[i].begin = encoderFrames * i / slices * kFrame;
    parts[i].end = i + 1 == slices ? frames : encoderFrames * (i + 1) / slices * kFrame;
  }
  {
    std::vector<std::jthread> workers;
    for (unsigned i = 1; i < slices; ++i) {
      workers.emplace_back([&, i] {
        try {
          EncodeSlice(interleaved, frames, parts[i]);
        } catch (...) {
          parts[i].error = std::current_exception();
        }
      });
    }
    try {
      EncodeSlice(interleaved, frames, parts[0]);
    } catch (...) {
      parts[0].error = std::current_exception();
    }
  }  // workers joined
  std::vector<ffmpeg::PacketPtr> packets;
  for (auto& part : parts) {
    if (part.error) std::rethrow_exception(part.error);
    for (auto& packet : part.packets) packets.push_back(std::move(packet));
  }
  return packets;
}

}  // namespace ostrel
