#include "recording/live_mix.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <new>
#include <stdexcept>

#include "storage/spilled_bytes.h"
#include "save/aac_encoder.h"
#include "save/aac_slices.h"
#include "save/audio_mix.h"
#include "save/stream_resampler.h"

namespace ostrel {
namespace {

constexpr int64_t kFrame = 1024;  // AAC-LC samples per encoder frame
constexpr double kTicksPerSecond = 10000000.0;
// A converter's output may drift from its chunks' ticks by this many grid
// frames (half a millisecond); past it, the next run goes on where the
// output ends and converts slightly faster or slower until it is back on the
// ticks, so the sound never jumps (a step in a tone is a click). A source's
// mix stays open this far behind its output.
constexpr double kPlacementBound = 24.0;
constexpr double kSlewSeconds = 2.0;
constexpr int64_t kOpenMargin = 64;
// Rates are handed to the resampler in hundredths of a hertz: a device
// clock 10 ppm off would otherwise move half a millisecond a minute.
constexpr uint32_t kRateScale = 100;
// A source that delivered nothing for this long is not waited for; what it
// sends later for that time starts a new generation.
constexpr int64_t kStalledSourceTicks = 4 * 10000000LL;
// Packets are kept this long beyond the replay length.
constexpr double kKeepMarginSeconds = 3.0;
// The line's ticks against its frames are fitted over anchors this far
// apart, the newest this many kept: one stamp off (a stream's first, while
// its latency settles) must not set the rate or the placement.
constexpr int64_t kAnchorTicks = 2500000;
constexpr size_t kMaxAnchors = 80;

int64_t AlignUp(int64_t frame) { return (frame + kFrame - 1) / kFrame * kFrame; }

}  // namespace

// One source: its ring, the unbroken stream ("line") its chunks form, and
// the converter run placing that stream on the grid.
struct LiveAacMix::Source {
  const AudioRing& ring;
  size_t index = 0;  // 0 desktop, 1 microphone: its track
  uint64_t seen = 0;
  bool read = false;
  // The line: chunks of one format, each starting where the previous ended.
  bool inLine = false;
  std::shared_ptr<const std::vector<uint8_t>> format;
  WaveFormatInfo info;
  int64_t lineStartTicks = 0;
  uint64_t lineFrames = 0;  // device frames taken in the line
  int64_t lastEndTicks = INT64_MIN;
  std::deque<std::pair<double, double>> anchors;  // (line frames before a chunk, its start tick)
  // The run: one resampler from runPlace on.
  std::unique_ptr<StreamResampler> resampler;
  double runRate = 0.0;  // device frames per second it converts from
  uint64_t slewEndIn = 0;  // a slewing run ends after this many device frames
  int64_t runPlace = 0;
  uint64_t runIn = 0;   // device frames fed
  int64_t runOut = 0;   // grid frames produced
  bool hasOutput = false;  // placed anything in this generation
  float gain = 0.0f;
  std::vector<float> scratch;

  Source(const AudioRing& r, size_t i) : ring(r), index(i) {}
  // Grid frames before this hold all this source will add.
  int64_t Frontier() const { return runPlace + runOut - (resampler ? kOpenMargin : 0); }
};

LiveAacMix::LiveAacMix(const AudioRing& desktop, const AudioRing& mic, const ReplayWindow& window,
                       std::function<AudioSettings()> settings, int64_t originTicks,
                       std::array<EncodedAudioRing*, 3> encodedRings)
    : window_(window), settings_(std::move(settings)), origin_(originTicks) {
  sources_.push_back(std::make_unique<Source>(desktop, 0));
  sources_.push_back(std::make_unique<Source>(mic, 1));
  resumeTicks_ = originTicks;
  for (size_t i = 0; i < encodedRings.size(); ++i) {
    if (encodedRings[i] == nullptr) encodedRings[i] = &ownRings_[i];
  }
  packets_ = std::make_unique<PacketLog>(*encodedRings[0], originTicks);
  for (size_t i = 0; i < tracks_.size(); ++i) {
    tracks_[i].packets = std::make_unique<PacketLog>(*encodedRings[i + 1], originTicks);
  }
}

LiveAacMix::~LiveAacMix() = default;

void LiveAacMix::KeepFrom(std::optional<int64_t> ticks) {
  LockGuard lock(mutex_);
  keepFromTicks_ = ticks;
}

uint64_t LiveAacMix::Generations() const {
  LockGuard lock(mutex_);
  return generations_;
}

double LiveAacMix::GridFrame(int64_t ticks) const {
  return static_cast<double>(ticks - origin_) / kTicksPerSecond * kMixRate;
}

void LiveAacMix::Advance(int64_t nowTicks) {
  LockGuard lock(mutex_);
  AdvanceLocked(nowTicks, std::nullopt);
}

void LiveAacMix::NewGeneration() {
  started_ = false;
  encoder_.reset();
  packets_->Clear();
  buf_.clear();
  for (SourceTrack& track : tracks_) {
    track.encoder.reset();
    track.packets->Clear();
    track.buf.clear();
  }
  for (auto& source : sources_) {
    source->resampler.reset();
    source->hasOutput = false;
    resumeTicks_ = std::max(resumeTicks_, source->lastEndTicks);
  }
  afterBreak_ = true;
}

void LiveAacMix::StartGeneration() {
  const AudioSettings settings = settings_ ? settings_() : AudioSettings{};
  desktopGain_ = DesktopGain(settings);
  micGain_ = MicGain(settings);
  sources_[0]->gain = desktopGain_;
  sources_[1]->gain = micGain_;
  const SourceTrackGains trackGains = SourceTrackGainsFor(settings);
  tracks_[0].gain = trackGains[0];
  tracks_[1].gain = trackGains[1];
  int64_t start = std::llround(GridFrame(resumeTicks_));
  if (afterBreak_) start += kFrame;  // a converter started mid-stream settles first
  genStart_ = std::max<int64_t>(0, AlignUp(start));
  final_ = tracksFed_ = bufBase_ = encodedEnd_ = genStart_;
  encoder_ = std::make_unique<AacEncoder>(
      [this](AVPacket* packet) {
        mutex_.AssertHeld();  // the encoder calls back from Feed and Flush, run under the mutex
        packets_->Append(*packet, keepFromPts_);
        encodedEnd_ = packet->pts + std::max<int64_t>(packet->duration, 0);
      },
      static_cast<uint64_t>(genStart_));
  for (SourceTrack& track : tracks_) {
    track.encodedEnd = genStart_;
    track.encoder = std::make_unique<AacEncoder>(
        [this, &track](AVPacket* packet) {
          mutex_.AssertHeld();  // called back from Feed and Flush, under the mutex
          track.packets->Append(*packet, keepFromPts_);
          track.encodedEnd = packet->pts + std::max<int64_t>(packet->duration, 0);
        },
        static_cast<uint64_t>(genStart_));
  }
  started_ = true;
  ++generations_;
}

void LiveAacMix::AdvanceLocked(int64_t nowTicks, std::optional<int64_t> forcedFrontier, bool feedTracks) {
  try {
    if (started_ && settings_) {
      const AudioSettings settings = settings_();
      const SourceTrackGains trackGains = SourceTrackGainsFor(settings);
      if (DesktopGain(settings) != desktopGain_ || MicGain(settings) != micGain_ ||
          trackGains[0] != tracks_[0].gain || trackGains[1] != tracks_[1].gain) {
        NewGeneration();
      }
    }
    for (auto& source : sources_) TakeChunks(*source);
    if (!started_) return;

    int64_t frontier = INT64_MAX;
    int64_t furthest = INT64_MIN;
    bool any = false;
    for (auto& source : sources_) {
      if (forcedFrontier && source->resampler && source->runPlace + source->runOut < *forcedFrontier) {
        EndRun(*source);  // the save's cut ends the stream here; its filter tail is due now
      }
      const bool active = source->ring.Capturing() || source->hasOutput;
      if (!active) continue;
      if (!source->hasOutput) {
        frontier = INT64_MIN;  // not heard from yet
        continue;
      }
      any = true;
      frontier = std::min(frontier, source->Frontier());
      furthest = std::max(furthest, source->Frontier());
    }
    if (!any) return;
    int64_t target = frontier;
    const int64_t stalled = std::llround(GridFrame(nowTicks - kStalledSourceTicks));
    target = std::max(target, std::min(stalled, furthest));
    if (forcedFrontier) target = std::max(target, *forcedFrontier);
    FinalizeTo(target, feedTracks);

    // Packets the longest clip no longer reaches, and mix frames the next
    // save's pre-roll no longer needs.
    const double keep = (window_.Seconds() + kKeepMarginSeconds) * kMixRate;
    auto oldest = static_cast<int64_t>(GridFrame(nowTicks) - keep);
    // A second before it: clip zero lies up to a frame before the span's
    // start, and the decoder's priming packet before that.
    if (keepFromTicks_) oldest = std::min(oldest, static_cast<int64_t>(GridFrame(*keepFromTicks_)) - kMixRate);
    // The packet logs let go of what lies before it as they seal blocks.
    keepFromPts_ = oldest;
    const int64_t needed = std::max(genStart_, EncodedEnd() - static_cast<int64_t>(kAacSliceOverlapFrames) * kFrame);
    if (needed - bufBase_ > 2 * kMixRate) {
      const auto drop = static_cast<std::ptrdiff_t>(2 * (needed - bufBase_));
      buf_.erase(buf_.begin(), buf_.begin() + drop);
      for (SourceTrack& track : tracks_) track.buf.erase(track.buf.begin(), track.buf.begin() + drop);
      bufBase_ = needed;
    }
  } catch (const std::exception&) {
    NewGeneration();  // a failed conversion or encoder: saves take the save-time path
  }
}

void LiveAacMix::TakeChunks(Source& source) {
  bool missed = false;
  const AudioRing::Snapshot chunks = source.ring.TakeSince(source.seen, &missed);
  // Chunks evicted or cleared unread (before the first read: those of an
  // earlier capture, or older than the mix).
  if (missed && source.read && started_) NewGeneration();
  source.read = true;
  for (const AudioChunk& chunk : chunks) {
    try {
      ProcessChunk(source, WithLoadedBytes(chunk));
    } catch (const std::exception&) {
      source.inLine = false;
      source.lastEndTicks = std::max(source.lastEndTicks, chunk.EndTicks());
      NewGeneration();
    }
  }
}

void LiveAacMix::ProcessChunk(Source& source, const AudioChunk& chunk) {
  auto format = chunk.waveFormat ? chunk.waveFormat : source.ring.SharedWaveFormat();
  if (!format || format->empty()) throw std::runtime_error("audio chunk without a format");
  // A chunk for time this source already delivered.
  const bool overlaps =
      source.lastEndTicks != INT64_MIN && chunk.startTicks < source.lastEndTicks - kChunkJoinToleranceTicks;
  if (overlaps && started_) NewGeneration();
  const bool continues = source.inLine && !overlaps && SameFormat(format, source.format) &&
                         std::llabs(chunk.startTicks - source.lastEndTicks) <= kChunkJoinToleranceTicks;
  if (!continues) {
    EndRun(source);
    source.inLine = true;
    source.format = format;
    source.info = ParseWaveFormat(format->data(), format->size());
    source.lineStartTicks = chunk.startTicks;
    source.lineFrames = 0;
    source.anchors.clear();
  }
  const uint64_t chunkFrames = ByteCount(chunk.bytes) / source.info.blockAlign;
  source.lastEndTicks = std::max(source.lastEndTicks, chunk.EndTicks());
  if (chunk.EndTicks() <= resumeTicks_) {
    // Audio from before the current generation: the line goes on, unmixed.
    source.resampler.reset();
    source.lineFrames += chunkFrames;
    return;
  }
  if (!started_) StartGeneration();
  if (source.anchors.empty() || chunk.startTicks - static_cast<int64_t>(source.anchors.back().second) >= kAnchorTicks) {
    source.anchors.emplace_back(static_cast<double>(source.lineFrames), static_cast<double>(chunk.startTicks));
    if (source.anchors.size() > kMaxAnchors) source.anchors.pop_front();
  }
  if (source.resampler) {
    const double expected = static_cast<double>(source.runPlace) +
                            static_cast<double>(source.runIn) * kMixRate / source.runRate;
    const bool slewDone = source.slewEndIn != 0 && source.runIn >= source.slewEndIn;
    if (slewDone || std::fabs(expected - GridFrame(LineTicks(source, chunk.startTicks))) > kPlacementBound) {
      EndRun(source);
      StartRun(source, chunk.startTicks, source.runPlace + source.runOut);
    }
  }
  if (!source.resampler) StartRun(source, chunk.startTicks, std::nullopt);
  if (static_cast<double>(source.runPlace + source.runOut) < static_cast<double>(final_) - kPlacementBound &&
      (source.hasOutput || final_ > genStart_)) {
    // Audio for time already mixed: the mix goes on from after it.
    NewGeneration();
    source.lineFrames += chunkFrames;
    return;
  }
  // Converted and placed a tenth of a second at a time: the scratch then
  // holds a slice, not a whole 2 s chunk of float stereo per source.
  const size_t sliceBytes = std::max<size_t>(source.info.samplesPerSecond / 10, 1) * source.info.blockAlign;
  const size_t chunkBytes = ByteCount(chunk.bytes);
  for (size_t at = 0; at < chunkBytes; at += sliceBytes) {
    source.scratch.clear();
    source.resampler->Push(chunk.bytes->data() + at, std::min(sliceBytes, chunkBytes - at), source.scratch);
    Place(source, source.scratch);
  }
  source.runIn += chunkFrames;
  source.lineFrames += chunkFrames;
}

void LiveAacMix::StartRun(Source& source, int64_t startTicks, std::optional<int64_t> continueAt) {
  // The line's own rate so far, as a save would estimate it; the nominal
  // rate until the line is long enough to tell.
  const double nominal = source.info.samplesPerSecond;
  double rate = nominal;
  if (const double fitted = LineRate(source); fitted > 0.0 && std::fabs(fitted / nominal - 1.0) <= kMaxDeviceRateDeviation) {
    rate = fitted;
  }
  source.slewEndIn = 0;
  if (continueAt) {
    // Output as many more (or fewer) grid frames over the next seconds as
    // the ticks are ahead of (or behind) where the output ends.
    const double error = GridFrame(LineTicks(source, startTicks)) - static_cast<double>(*continueAt);
    if (std::fabs(error) > 1.0) {
      const double span = kSlewSeconds * kMixRate;
      rate *= span / (span + error);
      source.slewEndIn = static_cast<uint64_t>(kSlewSeconds * rate);
    }
  }
  WaveFormatInfo scaled = source.info;
  scaled.samplesPerSecond = static_cast<uint32_t>(std::llround(rate * kRateScale));
  source.runRate = static_cast<double>(scaled.samplesPerSecond) / kRateScale;
  source.resampler = std::make_unique<StreamResampler>(scaled, kRateScale);
  source.runPlace = continueAt ? *continueAt : PlacementStartFrame(startTicks, origin_);
  source.runIn = 0;
  source.runOut = 0;
}

namespace {

// Least-squares line through the anchors: ticks = a + b x frames. False
// while they span too little time to tell.
bool FitLine(const std::deque<std::pair<double, double>>& anchors, double* a, double* b) {
  if (anchors.size() < 3) return false;
  const double x0 = anchors.front().first, y0 = anchors.front().second;
  if ((anchors.back().second - y0) / kTicksPerSecond < kMinRunSecondsForRate) return false;
  double sx = 0, sy = 0, sxx = 0, sxy = 0;
  for (const auto& [x, y] : anchors) {
    sx += x - x0;
    sy += y - y0;
    sxx += (x - x0) * (x - x0);
    sxy += (x - x0) * (y - y0);
  }
  const double n = static_cast<double>(anchors.size());
  const double d = n * sxx - sx * sx;
  if (d <= 0.0) return false;
  *b = (n * sxy - sx * sy) / d;
  *a = y0 + (sy - *b * sx) / n - *b * x0;
  return *b > 0.0;
}

}  // namespace

double LiveAacMix::LineRate(const Source& source) {
  double a = 0, b = 0;
  return FitLine(source.anchors, &a, &b) ? kTicksPerSecond / b : 0.0;
}

int64_t LiveAacMix::LineTicks(const Source& source, int64_t stamp) {
  double a = 0, b = 0;
  if (!FitLine(source.anchors, &a, &b)) return stamp;
  return std::llround(a + b * static_cast<double>(source.lineFrames));
}

void LiveAacMix::EndRun(Source& source) {
  if (!source.resampler) return;
  source.scratch.clear();
  source.resampler->Finish(source.scratch);
  Place(source, source.scratch);
  source.resampler.reset();
}

void LiveAacMix::Place(Source& source, const std::vector<float>& converted) {
  const auto frames = static_cast<int64_t>(converted.size() / 2);
  const int64_t first = source.runPlace + source.runOut;
  source.runOut += frames;
  if (frames == 0 || !started_) return;
  source.hasOutput = true;
  const int64_t end = first + frames;
  if (end <= final_) return;
  const auto needed = static_cast<size_t>(2 * (end - bufBase_));
  GrowBuffers(needed);
  SourceTrack& track = tracks_[source.index];
  auto finite = [](float x) { return std::isfinite(x) ? x : 0.0f; };
  for (int64_t g = std::max(first, final_); g < end; ++g) {
    const auto i = static_cast<size_t>(g - first);
    const auto d = static_cast<size_t>(g - bufBase_);
    const float left = finite(converted[2 * i]), right = finite(converted[2 * i + 1]);
    buf_[2 * d] += left * source.gain;
    buf_[2 * d + 1] += right * source.gain;
    track.buf[2 * d] += left * track.gain;
    track.buf[2 * d + 1] += right * track.gain;
  }
}

void LiveAacMix::FinalizeTo(int64_t frame, bool feedTracks) {
  if (frame > final_) {
    GrowBuffers(static_cast<size_t>(2 * (frame - bufBase_)));
    float* first = buf_.data() + 2 * (final_ - bufBase_);
    const auto count = static_cast<size_t>(frame - final_);
    for (size_t i = 0; i < 2 * count; ++i) first[i] = SoftClip(first[i]);
    final_ = frame;
    encoder_->Feed(first, count);
  }
  if (!feedTracks || tracksFed_ >= final_) return;
  // The source tracks are the sources as they are: no clipping. Their
  // frames stay in the buffers until these encoders have taken them (the
  // buffers are trimmed behind the slowest encoder).
  const auto offset = static_cast<size_t>(2 * (tracksFed_ - bufBase_));
  const auto count = static_cast<size_t>(final_ - tracksFed_);
  for (SourceTrack& track : tracks_) track.encoder->Feed(track.buf.data() + offset, count);
  tracksFed_ = final_;
}

void LiveAacMix::GrowBuffers(size_t samples) {
  if (buf_.size() < samples) buf_.resize(samples, 0.0f);
  for (SourceTrack& track : tracks_) {
    if (track.buf.size() < samples) track.buf.resize(samples, 0.0f);
  }
}

int64_t LiveAacMix::EncodedEnd() const {
  int64_t end = encodedEnd_;
  for (const SourceTrack& track : tracks_) end = std::min(end, track.encodedEnd);
  return end;
}

std::optional<PreEncodedClipAudio> LiveAacMix::TakeForClip(int64_t clipStartTicks, uint64_t frames,
                                                           float desktopGain, float micGain, int64_t nowTicks,
                                                           std::optional<SourceTrackGains> trackGains) {
  LockGuard lock(mutex_);
  if (frames == 0) return std::nullopt;
  const int64_t zero = PlacementStartFrame(clipStartTicks, origin_);
  const int64_t end = zero + static_cast<int64_t>(frames);
  // Without source tracks the save waits only for the mix's encoder: the
  // tracks catch up at the next advance, after the save.
  AdvanceLocked(nowTicks, end, trackGains.has_value());
  if (!started_ || desktopGain != desktopGain_ || micGain != micGain_ || zero < 0) return std::nullopt;
  if (trackGains && ((*trackGains)[0] != tracks_[0].gain || (*trackGains)[1] != tracks_[1].gain)) return std::nullopt;
  const int64_t firstPacket = zero / kFrame * kFrame - kFrame;  // the decoder's priming
  auto reaches = [firstPacket](const PacketLog& packets) {
    const std::optional<int64_t> front = packets.FrontPts();
    return front && *front <= firstPacket;
  };
  if (firstPacket < genStart_ - kFrame || !reaches(*packets_)) return std::nullopt;
  for (const SourceTrack& track : tracks_) {
    if (trackGains && !reaches(*track.packets)) return std::nullopt;
  }
  // A clip ending before the encoder's frontier (its request waited behind
  // another save) takes the packets before its last frame and encodes that.
  const int64_t encoded = std::min(trackGains ? EncodedEnd() : encodedEnd_, end / kFrame * kFrame);
  const int64_t tailStart = std::max(genStart_, encoded - static_cast<int64_t>(kAacSliceOverlapFrames) * kFrame);
  if (final_ < end || tailStart < bufBase_) return std::nullopt;

  auto take = [&](const PacketLog& packets, const std::vector<float>& buf) {
    mutex_.AssertHeld();  // called below, under the lock
    PreEncodedClipAudio audio;
    audio.packets = packets.Copy(firstPacket, encoded);
    const float* from = buf.data() + 2 * (tailStart - bufBase_);
    audio.tail.assign(from, from + 2 * (end - tailStart));
    audio.tailStart = static_cast<uint64_t>(tailStart);
    audio.encodedEnd = static_cast<uint64_t>(std::max(encoded, firstPacket));
    audio.clipZero = static_cast<uint64_t>(zero);
    audio.clipEnd = static_cast<uint64_t>(end);
    return audio;
  };
  PreEncodedClipAudio audio = take(*packets_, buf_);
  if (trackGains) {
    for (const SourceTrack& track : tracks_) audio.sourceTracks.push_back(take(*track.packets, track.buf));
  }
  return audio;
}

}  // namespace ostrel
