#include "save/clip_tracks.h"

#include <new>
#include <thread>

#include "save/aac_slices.h"

namespace ostrel {

std::vector<unsigned> AddAudioStreams(AVFormatContext* output, const AacEncoder& aac, bool separateTracks) {
  std::vector<unsigned> indexes;
  const size_t count = separateTracks ? std::size(kAudioTrackTitles) : 1;
  for (size_t track = 0; track < count; ++track) {
    AVStream* stream = avformat_new_stream(output, nullptr);
    if (stream == nullptr) throw std::bad_alloc();
    aac.SetupStream(stream);
    if (separateTracks) {
      // The title as the track's name and its handler's, where tools look.
      if (av_dict_set(&stream->metadata, "title", kAudioTrackTitles[track], 0) < 0 ||
          av_dict_set(&stream->metadata, "handler_name", kAudioTrackTitles[track], 0) < 0) {
        throw std::bad_alloc();
      }
      stream->disposition = track == 0 ? AV_DISPOSITION_DEFAULT : 0;
    }
    indexes.push_back(static_cast<unsigned>(stream->index));
  }
  return indexes;
}

std::vector<ffmpeg::PacketPtr> EncodeSourceTrack(MixContext& context, const AudioRing::Snapshot& chunks,
                                                 const std::shared_ptr<const std::vector<uint8_t>>& format,
                                                 float gain) {
  MixBuffer track(context.mix.frames);
  MixContext own{context.tracker, context.clipStartTicks, track};
  if (gain != 0.0f) MixSource(own, chunks, format, gain);
  return EncodeAacInSlices(track.samples.data(), track.frames,
                           AacSliceCount(track.frames, std::thread::hardware_concurrency()));
}

}  // namespace ostrel
