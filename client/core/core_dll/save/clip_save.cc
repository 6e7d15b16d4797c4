// The clip save: the cut at the request, snapshot, probe, output setup,
// audio assembly, the video segments (copied or re-encoded), finishing.
//
// Clip time zero is the span start: the request minus the clip length (or
// the first frame held, when less is buffered). The segment that straddles
// it starts with a key frame before zero. Passthrough copies it whole with
// the frames before zero at negative times; the MP4 muxer turns those into
// an edit list, so players decode from the key frame and show from zero,
// and the clip's duration is exactly the span. The re-encoder drops the
// frames before zero and starts its own key frame at zero. Frames stamped
// at or after the request (a frame the encoder took before the cut reached
// it) are left out. Audio is mixed against the same zero up to the end of
// the last frame, so sound and picture line up to the sample.
#include "save/clip_save.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>
#include <tuple>

#include "ffmpeg/ffmpeg_ptr.h"
#include "platform/hresult.h"
#include "platform/platform.h"
#include "save/aac_encoder.h"
#include "save/aac_slices.h"
#include "save/audio_mix.h"
#include "save/clip_chapters.h"
#include "save/clip_path.h"
#include "save/clip_tracks.h"
#include "save/memory_reader.h"
#include "save/output_guard.h"
#include "save/save_reencoder.h"
#include "save/save_telemetry.h"
#include "replay/tick_clock.h"
#include "save/save_seam.h"
#include "storage/spilled_bytes.h"

namespace ostrel {
namespace {

constexpr AVRational kTickBase{1, 10000000};
constexpr int64_t kTicksPerSecond = 10000000;
constexpr size_t kSegmentStageEvery = 10;

struct CodecParametersDeleter {
  void operator()(AVCodecParameters* parameters) const { avcodec_parameters_free(&parameters); }
};
using CodecParametersPtr = std::unique_ptr<AVCodecParameters, CodecParametersDeleter>;

// Progress changes go through here so the seam can watch (or stall) each one.
void SetProgress(SaveSources& sources, uint32_t stage, uint32_t done, uint32_t total) {
  sources.progress.Set(stage, done, total);
  sources.Seam().AfterProgress(stage, done, total);
}

// Back to idle at every exit of a save that got past the not-running check.
struct ProgressReset {
  SaveProgress& progress;
  ~ProgressReset() { progress.Set(0, 0, 0); }
};

struct SaveSnapshots {
  SegmentRing::Snapshot video;
  AudioRing::Snapshot desktop;
  AudioRing::Snapshot mic;
  std::shared_ptr<const std::vector<uint8_t>> desktopFormat;
  std::shared_ptr<const std::vector<uint8_t>> micFormat;
};

struct ProbedVideo {
  CodecParametersPtr parameters;
  AVRational timeBase{0, 1};
};

// The segment's video stream as its MP4 header describes it (codec, size,
// the H.264 parameter sets, time base): all that copying its packets needs.
// Only the first segment is probed with avformat_find_stream_info (the
// clip's stream takes its parameters, the decoder's reorder delay among
// them); doing that for every segment decoded seven frames of each, most of
// a long save's time. Negative when the segment holds no such stream.
int HeaderVideoStream(AVFormatContext* input) {
  const int index = av_find_best_stream(input, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  if (index < 0) return index;
  const AVCodecParameters* parameters = input->streams[index]->codecpar;
  const AVRational base = input->streams[index]->time_base;
  const bool described = parameters->codec_id != AV_CODEC_ID_NONE && parameters->width > 0 &&
                         parameters->height > 0 && base.num > 0 && base.den > 0;
  return described ? index : AVERROR_INVALIDDATA;
}

CodecParametersPtr CopyParameters(const AVCodecParameters& from) {
  CodecParametersPtr copy(avcodec_parameters_alloc());
  if (!copy || avcodec_parameters_copy(copy.get(), &from) < 0) throw std::bad_alloc();
  return copy;
}

bool SameHeader(const AVCodecParameters& a, const AVCodecParameters& b) {
  return a.codec_id == b.codec_id && a.width == b.width && a.height == b.height &&
         a.extradata_size == b.extradata_size &&
         (a.extradata_size == 0 || std::equal(a.extradata, a.extradata + a.extradata_size, b.extradata));
}

// The last probe's result, by the header it was found for: every segment of
// one encoder setting has the same header (codec, size, parameter sets), so
// the next save's probe, seven decoded frames, is skipped.
class ProbeCache {
 public:
  std::optional<ProbedVideo> Find(const AVCodecParameters& header, AVRational timeBase) {
    std::lock_guard lock(mutex_);
    if (!header_ || !SameHeader(*header_, header) || av_cmp_q(probed_.timeBase, timeBase) != 0) return std::nullopt;
    return ProbedVideo{CopyParameters(*probed_.parameters), probed_.timeBase};
  }
  void Keep(CodecParametersPtr header, const ProbedVideo& probed) {
    CodecParametersPtr parameters = CopyParameters(*probed.parameters);
    std::lock_guard lock(mutex_);
    header_ = std::move(header);
    probed_ = ProbedVideo{std::move(parameters), probed.timeBase};
  }

 private:
  std::mutex mutex_;
  CodecParametersPtr header_;
  ProbedVideo probed_;
};

ProbedVideo ProbeFirstSegment(const EncodedSegment& segment, const SaveSeam& seam) {
  static ProbeCache cache;
  MemoryInput input;
  if (!input.Open(segment.bytes)) throw std::runtime_error("avformat_open_input failed probing first segment");
  if (seam.Fails(SaveFault::kProbeStreamInfo, 0)) {
    throw std::runtime_error("avformat_find_stream_info failed probing first segment");
  }
  int index = HeaderVideoStream(input.Context());
  if (index < 0) throw std::runtime_error("no video stream in first segment");
  const AVStream* stream = input.Context()->streams[index];
  if (std::optional<ProbedVideo> known = cache.Find(*stream->codecpar, stream->time_base)) return std::move(*known);
  CodecParametersPtr header = CopyParameters(*stream->codecpar);
  if (avformat_find_stream_info(input.Context(), nullptr) < 0) {
    throw std::runtime_error("avformat_find_stream_info failed probing first segment");
  }
  index = HeaderVideoStream(input.Context());
  if (index < 0) throw std::runtime_error("no video stream in first segment");
  stream = input.Context()->streams[index];
  ProbedVideo probed{CopyParameters(*stream->codecpar), stream->time_base};
  cache.Keep(std::move(header), probed);
  return probed;
}

// Copies one segment's packets into the clip on the clip's frame-slot grid.
// A segment's frames lie on its encoder's 1/fps grid from its start, so each
// packet's slot is the segment's first slot (its start against clip zero,
// rounded to the nearest slot) plus its own slot in the segment. `lastSlot`
// (INT64_MIN before the first packet) keeps the stream strictly increasing
// on the grid: a segment that would begin on or before the previous frame's
// slot (rounding of a late frame) begins in the slot after it instead, so no
// two frames share a slot and no stamp falls between slots.
//
// Packets before clip zero keep their negative times (the muxer hides them
// behind an edit list); packets at or after `clipLengthTicks` lie past the
// request and are left out.
void RemuxSegment(const EncodedSegment& segment, AVFormatContext* output, int outputIndex, int64_t clipStartTicks,
                  int64_t clipLengthTicks, uint32_t fps, int64_t& videoEndTicks, int64_t& lastSlot,
                  const SaveSeam& seam) {
  MemoryInput input;
  if (!input.Open(segment.bytes)) throw std::runtime_error("avformat_open_input failed for segment passthrough");
  AVFormatContext* in = input.Context();
  const int videoIndex = seam.Fails(SaveFault::kPassthroughStreamInfo, 0) ? AVERROR_INVALIDDATA : HeaderVideoStream(in);
  if (videoIndex < 0) throw std::runtime_error("no described video stream for segment passthrough");
  const AVRational slotBase{1, static_cast<int>(std::max<uint32_t>(fps, 1))};
  int64_t firstSlot = av_rescale_q(segment.startTicks - clipStartTicks, kTickBase, slotBase);
  if (lastSlot != INT64_MIN) firstSlot = std::max(firstSlot, lastSlot + 1);
  const AVRational outputBase = output->streams[outputIndex]->time_base;

  ffmpeg::PacketPtr packet(av_packet_alloc());
  if (!packet) throw std::bad_alloc();
  int64_t first = AV_NOPTS_VALUE;
  while (av_read_frame(in, packet.get()) >= 0) {
    if (packet->stream_index != videoIndex) {
      av_packet_unref(packet.get());
      continue;
    }
    const AVRational inputBase = in->streams[videoIndex]->time_base;
    int64_t pts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    if (first == AV_NOPTS_VALUE) first = pts != AV_NOPTS_VALUE ? pts : 0;
    if (pts == AV_NOPTS_VALUE) pts = first;
    int64_t slot = firstSlot + av_rescale_q(pts - first, inputBase, slotBase);
    if (lastSlot != INT64_MIN) slot = std::max(slot, lastSlot + 1);
    const int64_t t = av_rescale_q(slot, slotBase, kTickBase);
    if (t >= clipLengthTicks) {
      av_packet_unref(packet.get());
      continue;
    }
    lastSlot = slot;
    const int64_t ts = av_rescale_q(slot, slotBase, outputBase);
    packet->pts = ts;
    packet->dts = ts;
    packet->duration = av_rescale_q(1, slotBase, outputBase);
    packet->stream_index = outputIndex;
    packet->pos = -1;
    av_interleaved_write_frame(output, packet.get());  // a refused packet is dropped; failed writes are checked
    av_packet_unref(packet.get());
    videoEndTicks = std::max(videoEndTicks, t);
  }
}

// Clip zero: the straddling segment's frame slot that holds the span start
// (its frames lie on the 1/fps grid from its start). On a frame, the edit
// list starts exactly where that frame does, so players show it at 0 and the
// audio placed against the same zero lines up with it; between two frames a
// player would show the earlier one from 0, a fraction of a frame early.
// `onOrAfter` takes the first slot at or after the span start instead (a
// clip that must not reach before it).
int64_t ClipZero(int64_t segmentStartTicks, int64_t spanStartTicks, uint32_t fps, bool onOrAfter = false) {
  if (spanStartTicks <= segmentStartTicks) return segmentStartTicks;
  const AVRational frameBase{1, static_cast<int>(std::max<uint32_t>(fps, 1))};
  // A slot's instant, reached along another path (a segment's start, the end
  // of a clip), may differ from this one by a tick of rounding: within that,
  // the span starts on the slot.
  constexpr int64_t kRoundingTicks = 10;
  const int64_t frames =
      onOrAfter ? av_rescale_q_rnd(std::max<int64_t>(spanStartTicks - segmentStartTicks - kRoundingTicks, 0), kTickBase,
                                   frameBase, AV_ROUND_UP)
                : av_rescale_q_rnd(spanStartTicks - segmentStartTicks + kRoundingTicks, kTickBase, frameBase,
                                   AV_ROUND_DOWN);
  return segmentStartTicks + av_rescale_q(frames, frameBase, kTickBase);
}

// The slot of a segment's last frame (its frames fill consecutive slots
// from its start).
int64_t LastFrameTicks(const EncodedSegment& segment, uint32_t fps) {
  const AVRational frameBase{1, static_cast<int>(std::max<uint32_t>(fps, 1))};
  return segment.startTicks + av_rescale_q(std::max<int64_t>(segment.frameCount, 1) - 1, frameBase, kTickBase);
}

// Records of `held` that overlap the span, added to `snapshot`.
template <typename Record>
void MergeHeld(std::deque<Record>& snapshot, const std::deque<Record>& held, const TickSpan& span) {
  std::deque<Record> inSpan;
  for (const Record& record : held) {
    if (record.EndTicks() > span.startTicks && record.startTicks < span.endTicks) inSpan.push_back(record);
  }
  MergeRecords(snapshot, inSpan);
}

// The clip's encoded audio, written in time-stamp order as the video goes.
struct AudioPacketWriter {
  AVFormatContext* output;
  unsigned streamIndex;
  std::vector<ffmpeg::PacketPtr> packets;  // time stamps in samples
  size_t next;

  // Writes every packet that starts before sample `limit`.
  void WriteBefore(int64_t limit) {
    const AVRational sampleBase{1, AacEncoder::kSampleRate};
    for (; next < packets.size() && packets[next]->pts < limit; ++next) {
      AVPacket* packet = packets[next].get();
      av_packet_rescale_ts(packet, sampleBase, output->streams[streamIndex]->time_base);
      packet->stream_index = static_cast<int>(streamIndex);
      av_interleaved_write_frame(output, packet);  // a refused packet is lost
      packets[next].reset();
    }
  }
};

// Everything from the progress start to the "Saved clip" line. Encoders and
// the mix live here, so they are gone before the caller logs a failure; the
// snapshots and the output guard belong to the caller and go after it.
SaveOutcome RunSave(SaveSources& sources, const std::wstring& outputDir, std::wstring& outPath,
                    SaveMemoryTracker& tracker, SaveSnapshots& snaps, OutputGuard& guard) {
  const LogSink& log = sources.log;
  platform::ISystemServices& system = platform::GetPlatform().system;
  SetProgress(sources, 1, 0, 0);
  if (!IsRepresentablePath(outputDir)) {
    throw std::runtime_error("the output folder's name holds an unpaired surrogate and cannot be written");
  }

  const ClipShape& shape = sources.shape;
  const int64_t requestTicks = sources.requestTicks ? *sources.requestTicks : TickClock::Now();
  // The clip may not reach before the end of one saved with discard-on-save.
  const bool atFloor = shape.notBeforeTicks != INT64_MIN && shape.span &&
                       shape.span->startTicks <= shape.notBeforeTicks;
  if (atFloor && shape.span->endTicks <= shape.span->startTicks) {
    LogTo(log, L"Nothing new since the last clip saved with discard - save ignored.");
    return SaveOutcome::kNothingNew;
  }
  if (sources.cutAtRequest) sources.cutAtRequest(requestTicks);
  const TickSpan span = shape.span ? *shape.span : sources.replayWindow.SpanEndingAt(requestTicks, sources.seconds);
  snaps.video = sources.videoRing.TakeSnapshot(span);
  snaps.desktop = sources.desktopRing.TakeSnapshot(span);
  snaps.mic = sources.micRing.TakeSnapshot(span);
  if (shape.held != nullptr) {
    MergeHeld(snaps.video, shape.held->video, span);
    MergeHeld(snaps.desktop, shape.held->desktop, span);
    MergeHeld(snaps.mic, shape.held->mic, span);
  }
  snaps.desktopFormat = sources.desktopRing.SharedWaveFormat();
  snaps.micFormat = sources.micRing.SharedWaveFormat();
  const SaveSizeSuffix sizes{snaps.video,      snaps.desktop,      snaps.mic,
                             sources.videoRing, sources.desktopRing, sources.micRing};
  tracker.Stage(L"snapshot", sizes.Text());

  if (snaps.video.empty()) {
    LogTo(log, L"Nothing buffered yet - save ignored.");
    return SaveOutcome::kNothingBuffered;
  }
  while (snaps.video.size() >= 2 && snaps.video[1].startTicks <= span.startTicks) snaps.video.pop_front();
  int64_t clipStartTicks = ClipZero(snaps.video.front().startTicks, span.startTicks, sources.fps, atFloor);
  if (atFloor) {
    // Segments whose frames all lie before zero (the end of the discarded
    // clip) are left out whole; none left: nothing new.
    while (!snaps.video.empty() && LastFrameTicks(snaps.video.front(), sources.fps) < clipStartTicks) {
      snaps.video.pop_front();
      if (!snaps.video.empty()) {
        clipStartTicks = ClipZero(snaps.video.front().startTicks, span.startTicks, sources.fps, true);
      }
    }
    if (snaps.video.empty() || clipStartTicks >= span.endTicks) {
      LogTo(log, L"Nothing new since the last clip saved with discard - save ignored.");
      return SaveOutcome::kNothingNew;
    }
  }
  // The span's length from a zero on a frame: the clip may end up to a frame
  // before the request, never after it (audio past the request is not held).
  const int64_t clipLengthTicks = span.endTicks - std::max(clipStartTicks, span.startTicks);

  const std::wstring folder = AbsoluteFolder(outputDir);
  system.CreateDirectory(folder);  // an existing folder is fine; a failure shows at the open
  const std::wstring fullPath = UniqueClipPath(folder, system.GetLocalTime(), ClipPathExists);
  const AudioSettings settings = sources.copyAudioSettings ? sources.copyAudioSettings() : AudioSettings{};

  ProbedVideo probed = ProbeFirstSegment(WithLoadedBytes(snaps.video.front()), sources.Seam());

  AVFormatContext* output = nullptr;
  if (sources.Seam().Fails(SaveFault::kAllocOutputContext, 0) ||
      avformat_alloc_output_context2(&output, nullptr, "mp4", nullptr) < 0 || output == nullptr) {
    if (output != nullptr) avformat_free_context(output);
    throw std::runtime_error("avformat_alloc_output_context2 failed");
  }
  guard.context = output;

  const bool twoStage = std::any_of(snaps.video.begin(), snaps.video.end(),
                                    [](const EncodedSegment& segment) { return segment.needsReencode; });
  const size_t segmentCount = snaps.video.size();

  AVStream* videoStream = avformat_new_stream(output, nullptr);
  if (videoStream == nullptr) throw std::bad_alloc();
  const int videoIndex = videoStream->index;
  std::unique_ptr<SaveReencoder> reencoder;
  if (twoStage) {
    reencoder = std::make_unique<SaveReencoder>(sources.encoderName, log, output, static_cast<unsigned>(videoIndex),
                                                sources.outputWidth, sources.outputHeight, sources.fps,
                                                sources.bitrate, sources.Seam());
    reencoder->SetupStream(videoStream);
    LogTo(log, L"SaveClipNow: two-stage re-encode " + std::to_wstring(segmentCount) + L" segment(s) -> " +
                   std::to_wstring(sources.bitrate / 1000) + L"kbps");
  } else {
    if (avcodec_parameters_copy(videoStream->codecpar, probed.parameters.get()) < 0) throw std::bad_alloc();
    videoStream->codecpar->codec_tag = 0;  // the muxer picks its own tag
    videoStream->time_base = probed.timeBase;
  }
  probed.parameters.reset();
  tracker.Stage(L"transcoder-init", sizes.Text());

  // A source that was on but left nothing in the span (its device or the
  // sound server gone the whole time) is silence in a track that stays.
  for (const auto& [on, snapshot, name] : {std::tuple{sources.desktopAudioOn, &snaps.desktop, L"desktop"},
                                           std::tuple{sources.micAudioOn, &snaps.mic, L"microphone"}}) {
    if (on && snapshot->empty()) {
      LogTo(log, std::wstring(L"SaveClipNow: no ") + name +
                     L" audio was recorded in the clip's span (its capture was unavailable) - silent in the clip.");
    }
  }
  const bool hasAudio =
      sources.desktopAudioOn || sources.micAudioOn || !snaps.desktop.empty() || !snaps.mic.empty();
  std::unique_ptr<AacEncoder> aac;  // the streams' configuration; the slices encode
  // The mix first, then (separate tracks) desktop and microphone.
  std::vector<AudioPacketWriter> audioWriters;
  const bool separateTracks = hasAudio && shape.separateTracks;
  if (hasAudio) {
    aac = std::make_unique<AacEncoder>(output, 0u, sources.Seam());
    for (unsigned index : AddAudioStreams(output, *aac, separateTracks)) {
      audioWriters.push_back(AudioPacketWriter{output, index, {}, 0});
    }
  }
  std::vector<Marker> markers;
  if (shape.markers != nullptr) markers = shape.markers->Take(clipStartTicks, clipStartTicks + clipLengthTicks);
  if (shape.held != nullptr) {
    markers.insert(markers.end(), shape.held->markers.begin(), shape.held->markers.end());
    std::stable_sort(markers.begin(), markers.end(), [](const Marker& a, const Marker& b) { return a.ticks < b.ticks; });
    markers.erase(std::unique(markers.begin(), markers.end(),
                              [](const Marker& a, const Marker& b) { return a.ticks == b.ticks && a.label == b.label; }),
                  markers.end());
  }
  AddChapters(output, ChaptersFor(markers, clipStartTicks, clipLengthTicks));

  const std::string utf8Path = system.PathToUtf8(fullPath);
  if (const int opened = guard.Open(utf8Path); opened < 0) {
    LogTo(log, L"SaveClipNow: cannot create " + fullPath + L": " + Widen(FfmpegErrorText(opened)));
    throw std::runtime_error("avio_open2 failed for output file");
  }
  if (avformat_write_header(output, nullptr) < 0) {
    guard.CheckWrites();
    throw std::runtime_error("avformat_write_header failed");
  }
  guard.headerWritten = true;
  tracker.Stage(L"header", sizes.Text());

  // The mix runs from clip zero to the request.
  const uint64_t totalFrames = hasAudio ? MixFramesFor(clipLengthTicks) : 0;
  SetProgress(sources, 2, 0, 0);
  if (hasAudio) {
    std::optional<PreEncodedClipAudio> preEncoded;
    const SourceTrackGains trackGains = SourceTrackGainsFor(settings);
    if (sources.preEncodedAudio) {
      preEncoded = sources.preEncodedAudio(clipStartTicks, totalFrames, DesktopGain(settings), MicGain(settings),
                                           separateTracks ? std::optional(trackGains) : std::nullopt);
    }
    if (preEncoded) {
      // Mixed and encoded while recording: only the last moments are encoded here.
      std::vector<PreEncodedClipAudio> sourceTracks = std::move(preEncoded->sourceTracks);
      audioWriters[0].packets = FinishClipAudio(std::move(*preEncoded));
      for (size_t i = 0; i + 1 < audioWriters.size() && i < sourceTracks.size(); ++i) {
        audioWriters[i + 1].packets = FinishClipAudio(std::move(sourceTracks[i]));
      }
      tracker.Stage(L"audio-pre-encoded", sizes.Text());
    } else {
      MixBuffer mix(totalFrames);
      tracker.Stage(L"mixed-alloc", sizes.Text());
      MixContext context{tracker, clipStartTicks, mix};
      MixSource(context, snaps.desktop, snaps.desktopFormat, DesktopGain(settings));
      MixSource(context, snaps.mic, snaps.micFormat, MicGain(settings));
      SoftClipAll(mix);
      // The whole mix is known before the first segment is written, so it is
      // encoded at once, in slices on every core.
      audioWriters[0].packets = EncodeAacInSlices(mix.samples.data(), mix.frames,
                                                  AacSliceCount(mix.frames, std::thread::hardware_concurrency()));
      if (separateTracks) {
        audioWriters[1].packets = EncodeSourceTrack(context, snaps.desktop, snaps.desktopFormat, trackGains[0]);
        audioWriters[2].packets = EncodeSourceTrack(context, snaps.mic, snaps.micFormat, trackGains[1]);
      }
      tracker.Stage(L"audio-encoded", sizes.Text());
    }
    snaps.desktop.clear();
    snaps.mic.clear();
    snaps.desktopFormat.reset();
    snaps.micFormat.reset();
    tracker.Stage(L"audio-released", sizes.Text());
  }

  int64_t videoEndTicks = 0;
  int64_t lastSlot = INT64_MIN;
  const int64_t framePeriodTicks = kTicksPerSecond / std::max<uint32_t>(sources.fps, 1);
  uint64_t audioFramesHanded = 0;
  const auto total = static_cast<uint32_t>(segmentCount);
  SetProgress(sources, 3, 0, total);
  // Spilled segments are read one at a time into one buffer, so a long clip
  // never holds more than one in memory nor faults in fresh pages for each.
  std::shared_ptr<std::vector<uint8_t>> readBuffer;
  for (size_t i = 0; i < segmentCount; ++i) {
    SetProgress(sources, 3, static_cast<uint32_t>(i + 1), total);
    if (!snaps.video[i].bytes && snaps.video[i].spilled) {
      snaps.video[i].bytes = ReadSpilledReusing(*snaps.video[i].spilled, readBuffer);
    }
    if (twoStage) {
      reencoder->TranscodeSegment(snaps.video[i], clipStartTicks, clipLengthTicks, videoEndTicks);
    } else {
      RemuxSegment(snaps.video[i], output, videoIndex, clipStartTicks, clipLengthTicks, sources.fps, videoEndTicks,
                   lastSlot, sources.Seam());
    }
    guard.CheckWrites();
    snaps.video[i].bytes.reset();
    if (i % kSegmentStageEvery == 0 || i == segmentCount - 1) tracker.Stage(SegmentStageName(i), sizes.Text());
    if (aac && audioFramesHanded < totalFrames) {
      // Audio is written along with the video up to the end of the last
      // frame written, so the muxer interleaves without holding much.
      const double position = static_cast<double>(videoEndTicks + framePeriodTicks) / kTicksPerSecond;
      const uint64_t target =
          position > 0.0 ? std::min(static_cast<uint64_t>(position * kMixRate), totalFrames) : 0;
      if (target > audioFramesHanded) {
        for (AudioPacketWriter& writer : audioWriters) writer.WriteBefore(static_cast<int64_t>(target));
        audioFramesHanded = target;
      }
    }
  }

  SetProgress(sources, 4, 0, 0);
  if (reencoder) reencoder->Flush();
  if (aac) {
    // The clip's sound runs to its end even when the capture missed the
    // last frame slot or two (the picture holds the last frame there).
    for (AudioPacketWriter& writer : audioWriters) writer.WriteBefore(INT64_MAX);
    audioFramesHanded = totalFrames;
  }
  guard.CheckWrites();
  tracker.Stage(L"flush", sizes.Text());
  // The last frame ends one period after it starts; a tick lost to rounding
  // does not make a 5 s clip "~4s".
  const double videoSeconds = static_cast<double>(videoEndTicks + framePeriodTicks + 1000) / kTicksPerSecond;
  const double audioSeconds = static_cast<double>(audioFramesHanded + kMixRate / 10000) / kMixRate;
  guard.Finish();
  tracker.Stage(L"trailer", sizes.Text());

  sources.savedEndTicks = clipStartTicks + clipLengthTicks;
  LogTo(log, L"Saved clip: ~" + std::to_wstring(static_cast<long long>(videoSeconds)) + L"s video, ~" +
                 std::to_wstring(static_cast<long long>(audioSeconds)) + L"s audio -> " + fullPath);
  outPath = fullPath;
  return SaveOutcome::kSaved;
}

}  // namespace

SaveOutcome SaveClip(SaveSources& sources, const std::wstring& outputDir, std::wstring& outPath) {
  if (!sources.running.load()) {
    LogTo(sources.log, L"SaveClipNow() called while not running - ignored.");
    return SaveOutcome::kFailed;
  }
  // Declared in the reverse order of their cleanup: the output guard ends
  // first (after the failure line), then the snapshots, the progress and
  // last the sampler thread.
  SaveMemorySampler sampler(sources.log);
  SaveMemoryTracker tracker(sources.log);
  tracker.Stage(L"entry", L"");
  ProgressReset progressReset{sources.progress};
  SaveSnapshots snaps;
  OutputGuard guard(sources.Seam());
  try {
    return RunSave(sources, outputDir, outPath, tracker, snaps, guard);
  } catch (const HresultError& error) {
    if (std::string(error.what()) != HresultError(error.code()).what()) LogTo(sources.log, L"SaveClipNow: " + Widen(error.what()));
    LogTo(sources.log, L"SaveClipNow() failed: 0x" + Hex32(static_cast<uint32_t>(error.code())) + L" (" +
                           error.message() + L")");
  } catch (const std::exception& error) {
    LogTo(sources.log, L"SaveClipNow() failed: " + Widen(error.what()));
  }
  return SaveOutcome::kFailed;
}

}  // namespace ostrel
