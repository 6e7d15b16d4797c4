#include "save/pre_encoded_audio.h"

#include <new>
#include <utility>

#include "save/aac_encoder.h"
#include "save/audio_mix.h"

namespace ostrel {

SourceTrackGains SourceTrackGainsFor(const AudioSettings& settings) {
  return {SourceTrackGain(settings.desktopMuted), SourceTrackGain(settings.micMuted)};
}

std::vector<ffmpeg::PacketPtr> FinishClipAudio(PreEncodedClipAudio audio) {
  std::vector<ffmpeg::PacketPtr> packets = std::move(audio.packets);
  const auto keepFrom = static_cast<int64_t>(audio.encodedEnd);
  AacEncoder encoder(
      [&packets, keepFrom](AVPacket* packet) {
        if (packet->pts < keepFrom) return;
        ffmpeg::PacketPtr copy(av_packet_clone(packet));
        if (!copy) throw std::bad_alloc();
        packets.push_back(std::move(copy));
      },
      audio.tailStart);
  encoder.Feed(audio.tail.data(), audio.tail.size() / 2);
  encoder.Flush();
  const auto zero = static_cast<int64_t>(audio.clipZero);
  for (auto& packet : packets) {
    packet->pts -= zero;
    packet->dts -= zero;
  }
  return packets;
}

}  // namespace ostrel
