// The clip audio mixed and AAC-encoded while recording, so that a save
// encodes only the last second or two.
//
// Both sources' chunks are taken from their rings as they arrive, converted
// to 48 kHz stereo, weighted and added on one sample grid (grid frame k is
// the instant origin + k / 48000 s), soft-clipped once every source has
// delivered that far, and fed to one continuous AAC encoder whose frame j
// covers grid frames [1024 j, 1024 (j + 1)). Packets are kept for the replay
// length. A save takes the packets from the one before its clip zero (the
// decoder's priming) up to the encoder's frontier and encodes the rest from
// the kept mix, with an encoder started sixteen frames early so the join is
// that of one encoder (as between slices).
//
// Anything that makes the running mix differ from what a save would mix (a
// volume or mute change, audio arriving for time already mixed, a format
// the converter refuses, audio evicted unread) starts a new generation: the
// old packets go, and saves reaching back before the new one take the
// save-time path.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "audio/audio_settings.h"
#include "ffmpeg/ffmpeg_ptr.h"
#include "replay/audio_ring.h"
#include "replay/replay_window.h"
#include "save/packet_log.h"
#include "save/pre_encoded_audio.h"
#include "save/wave_format.h"
#include "sync/mutex.h"

namespace ostrel {

class AacEncoder;
class StreamResampler;

class LiveAacMix {
 public:
  // The encoded packets go to `encodedRings` (the mix, the desktop track,
  // the microphone track) where the replay storage sees them; null: rings
  // of the mix's own.
  LiveAacMix(const AudioRing& desktop, const AudioRing& mic, const ReplayWindow& window,
             std::function<AudioSettings()> settings, int64_t originTicks,
             std::array<EncodedAudioRing*, 3> encodedRings = {});
  ~LiveAacMix();
  LiveAacMix(const LiveAacMix&) = delete;
  LiveAacMix& operator=(const LiveAacMix&) = delete;

  // Takes the new chunks and encodes what every source has delivered (a
  // source silent for more than a few seconds before `nowTicks` is not
  // waited for). Never throws: a failure starts a new generation.
  void Advance(int64_t nowTicks);

  // The clip of `frames` mix frames from `clipStartTicks`, once the rings
  // hold everything up to its end (after the save's cut); none when the
  // current generation does not cover it or its gains are not the clip's.
  // With `trackGains`, the two source tracks come along (none when their
  // gains are not those).
  std::optional<PreEncodedClipAudio> TakeForClip(int64_t clipStartTicks, uint64_t frames, float desktopGain,
                                                 float micGain, int64_t nowTicks,
                                                 std::optional<SourceTrackGains> trackGains = std::nullopt);

  // Keeps the packets from `ticks` on beyond the replay length (a save
  // waiting for time after its request reaches further back than a replay
  // length by the time it writes); none: the replay length again.
  void KeepFrom(std::optional<int64_t> ticks);

  // Generations started so far (the first included), for tests and benches.
  uint64_t Generations() const;

 private:
  struct Source;
  // `feedTracks` false leaves the source tracks' encoders behind the mix
  // (a save that does not want them); the next advance catches them up.
  void AdvanceLocked(int64_t nowTicks, std::optional<int64_t> forcedFrontier, bool feedTracks = true)
      REQUIRES(mutex_);
  void TakeChunks(Source& source) REQUIRES(mutex_);
  void ProcessChunk(Source& source, const AudioChunk& chunk) REQUIRES(mutex_);
  // A run placed at the tick, or going on at `continueAt` (slewing back to
  // the ticks).
  void StartRun(Source& source, int64_t startTicks, std::optional<int64_t> continueAt) REQUIRES(mutex_);
  void EndRun(Source& source) REQUIRES(mutex_);
  // The line's rate (device frames a second) and the tick of its next frame
  // from the fit of its ticks; 0 and the chunk's own stamp until it tells.
  static double LineRate(const Source& source);
  static int64_t LineTicks(const Source& source, int64_t stamp);
  void Place(Source& source, const std::vector<float>& converted) REQUIRES(mutex_);
  void FinalizeTo(int64_t frame, bool feedTracks) REQUIRES(mutex_);
  void StartGeneration() REQUIRES(mutex_);
  void NewGeneration() REQUIRES(mutex_);
  double GridFrame(int64_t ticks) const;
  // Makes the mix and the track buffers hold at least `samples` floats.
  void GrowBuffers(size_t samples) REQUIRES(mutex_);
  // The end of the packets every encoder has given.
  int64_t EncodedEnd() const REQUIRES(mutex_);

  mutable Mutex mutex_;
  const ReplayWindow& window_;
  std::function<AudioSettings()> settings_;
  const int64_t origin_;
  std::vector<std::unique_ptr<Source>> sources_ GUARDED_BY(mutex_);

  // The current generation.
  bool started_ GUARDED_BY(mutex_) = false;
  uint64_t generations_ GUARDED_BY(mutex_) = 0;
  int64_t resumeTicks_ GUARDED_BY(mutex_) = 0;      // a new generation starts after this instant
  bool afterBreak_ GUARDED_BY(mutex_) = false;      // leave the converters a frame to settle
  float desktopGain_ GUARDED_BY(mutex_) = 0.0f;
  float micGain_ GUARDED_BY(mutex_) = 0.0f;
  int64_t genStart_ GUARDED_BY(mutex_) = 0;         // grid frame of the encoder's first sample (a multiple of 1024)
  int64_t final_ GUARDED_BY(mutex_) = 0;            // grid frames before this are mixed, soft-clipped and fed
  int64_t tracksFed_ GUARDED_BY(mutex_) = 0;        // the source tracks' encoders were fed before this
  int64_t bufBase_ GUARDED_BY(mutex_) = 0;          // grid frame of buf_[0]
  std::vector<float> buf_ GUARDED_BY(mutex_);       // interleaved: final frames, then the sums still open
  std::unique_ptr<AacEncoder> encoder_ GUARDED_BY(mutex_);
  std::array<EncodedAudioRing, 3> ownRings_;
  std::unique_ptr<PacketLog> packets_ GUARDED_BY(mutex_);  // pts in grid samples
  int64_t encodedEnd_ GUARDED_BY(mutex_) = 0;              // end of the last packet
  std::optional<int64_t> keepFromTicks_ GUARDED_BY(mutex_);
  int64_t keepFromPts_ GUARDED_BY(mutex_) = INT64_MIN;     // packets before it are no longer reached

  // Each source on its own, on the mix's grid (buf from bufBase_ on, fed
  // up to final_ as the mix is).
  struct SourceTrack {
    float gain = 0.0f;
    std::vector<float> buf;
    std::unique_ptr<AacEncoder> encoder;
    std::unique_ptr<PacketLog> packets;
    int64_t encodedEnd = 0;
  };
  std::array<SourceTrack, 2> tracks_ GUARDED_BY(mutex_);
};

}  // namespace ostrel
