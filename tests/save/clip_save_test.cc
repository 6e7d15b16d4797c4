// Whole saves into real files, read back with FFmpeg: passthrough, progress,
// failures, audio sync and the save-time re-encoder.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <tuple>
#include <utility>

extern "C" {
#include <libavutil/log.h>
#include <libavutil/mem.h>
}

#include "platform/hresult.h"
#include "replay/tick_clock.h"
#include "save/clip_save.h"
#include "save/save_reencoder.h"
#include "save/save_seam.h"
#include "save/wave_format.h"
#include "support/clip_probe.h"
#include "support/log_lines.h"
#include "support/save_segment_factory.h"

namespace ostrel::testing {
namespace {

namespace fs = std::filesystem;
constexpr int64_t kTicks = 10000000;

// Keeps libx264 statistics and expected demuxer complaints off the test output.
const bool quietFfmpeg = [] {
  av_log_set_level(AV_LOG_FATAL);
  return true;
}();

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

struct Scratch {
  std::string pattern = (fs::temp_directory_path() / "ostrel_save_XXXXXX").string();
  const fs::path path = mkdtemp(pattern.data()) ? fs::path(pattern) : throw std::runtime_error("mkdtemp failed");
  ~Scratch() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
  std::wstring Wide() const { return path.wstring(); }
};

// A save's seam for tests: fails chosen FFmpeg calls, watches progress, and
// writes through a budget of bytes, as a disk that fills up.
struct TestSeam : SaveSeam {
  std::function<bool(SaveFault, int)> fail;
  std::function<void(uint32_t, uint32_t, uint32_t)> afterProgress;
  int64_t diskBytes = -1;  // -1: unlimited
  bool failClose = false;

  bool Fails(SaveFault point, int detail) const override { return fail && fail(point, detail); }
  void AfterProgress(uint32_t stage, uint32_t done, uint32_t total) override {
    if (afterProgress) afterProgress(stage, done, total);
  }
  int OpenOutput(const std::string& utf8Path, AVIOContext** pb) override {
    if (diskBytes < 0 && !failClose) return SaveSeam::OpenOutput(utf8Path, pb);
    if ((file = std::fopen(utf8Path.c_str(), "wb")) == nullptr) return AVERROR(errno);
    *pb = avio_alloc_context(static_cast<unsigned char*>(av_malloc(4096)), 4096, 1, this, nullptr, &Write, &Seek);
    return *pb != nullptr ? 0 : AVERROR(ENOMEM);
  }
  int CloseOutput(AVIOContext** pb) override {
    if (file == nullptr) return SaveSeam::CloseOutput(pb);
    avio_flush(*pb);
    av_freep(&(*pb)->buffer);
    avio_context_free(pb);
    std::fclose(std::exchange(file, nullptr));
    return failClose ? AVERROR(EIO) : 0;
  }

 private:
  static int Write(void* opaque, uint8_t* data, int size) {
    auto& self = *static_cast<TestSeam*>(opaque);
    if (self.diskBytes >= 0 && std::ftell(self.file) + size > self.diskBytes) return AVERROR(ENOSPC);
    const auto bytes = static_cast<size_t>(size);
    return std::fwrite(data, 1, bytes, self.file) == bytes ? size : AVERROR(EIO);
  }
  static int64_t Seek(void* opaque, int64_t offset, int whence) {
    auto& self = *static_cast<TestSeam*>(opaque);
    if (whence == AVSEEK_SIZE) return -1;
    return std::fseek(self.file, static_cast<long>(offset), whence & ~AVSEEK_FORCE) == 0 ? std::ftell(self.file)
                                                                                         : AVERROR(EIO);
  }
  std::FILE* file = nullptr;
};

// The session around one save: live rings, window, progress and its log.
struct SaveRig {
  explicit SaveRig(double replaySeconds = 10.0) : window(replaySeconds) { window.SetFloorTicks(INT64_MIN / 2); }
  std::atomic<bool> running{true};
  SegmentRing videoRing;
  AudioRing desktopRing, micRing;
  ReplayWindow window;
  SaveProgress progress;
  AudioSettings settings;
  std::string encoderName = "libx264";
  LogLines log;  // the save's sampler thread logs too

  void Add(EncodedSegment segment) { videoRing.AppendWithCutoff(std::move(segment), INT64_MIN); }
  std::wstring path;  // the clip written by the last save
  std::optional<int64_t> request;  // the request instant (none: when the save begins)
  int seconds = 0;      // the clip length asked for (0: the replay length)
  TestSeam seam;
  ClipShape shape;  // how a host's request shapes the clip
  SaveOutcome SaveShaped(const std::wstring& folder) {
    SaveSources sources{running, videoRing, desktopRing, micRing, window, progress, [this] { return settings; },
                        160, 96, 30, 400000, encoderName, log.Sink(), request, seconds, nullptr, &seam};
    sources.shape = shape;
    return SaveClip(sources, folder, path);
  }
  bool Save(const std::wstring& folder) { return SaveShaped(folder) == SaveOutcome::kSaved; }
};

// libx264 segment bytes (60 frames), encoded once per white frame.
SharedBytes Bytes(int whiteFrame = -1) {
  static std::map<int, SharedBytes> cache;
  SegmentOptions options;
  options.whiteFrame = whiteFrame;
  SharedBytes& bytes = cache[whiteFrame];
  return bytes ? bytes : (bytes = EncodeSegmentBytes(options));
}

// `count` consecutive 2 s segments ending at `endTicks`; the first one's start.
int64_t AddSegmentsEndingAt(SaveRig& rig, int count, int64_t endTicks, bool reencode = false) {
  const int64_t first = endTicks - count * 2 * kTicks;
  for (int i = 0; i < count; ++i) rig.Add(SegmentFromBytes(Bytes(), first + i * 2 * kTicks, 2.0, 60, reencode));
  return first;
}

// The stream opens with a key frame at `firstPts` (negative: behind the
// edit list) and its times only grow.
void ExpectKeyFirstAndRisingTimes(const VideoStreamInfo& video, double firstPts = 0.0) {
  ASSERT_EQ(video.codec, "h264");
  ASSERT_FALSE(video.packets.empty());
  EXPECT_TRUE(video.packets.front().key);
  EXPECT_NEAR(video.packets.front().ptsSeconds, firstPts, 1e-3);
  for (size_t i = 1; i < video.packets.size(); ++i)
    EXPECT_GT(video.packets[i].dtsSeconds, video.packets[i - 1].dtsSeconds) << "packet " << i;
}

// What a player shows: frames from time 0 on, the first one `white` or not,
// `frames` of them one period apart, and a duration of `seconds`.
void ExpectShown(const ClipInfo& clip, bool white, size_t frames, double seconds) {
  const auto& pts = clip.video.framePtsSeconds;
  const auto first = std::ranges::find_if(pts, [](double t) { return t > -1e-6; });  // earlier: lead-up only
  ASSERT_NE(first, pts.end());
  EXPECT_NEAR(*first, 0.0, 1e-3);
  EXPECT_EQ(clip.video.frameMeanLuma[static_cast<size_t>(first - pts.begin())] > 200.0, white);
  EXPECT_NEAR(static_cast<double>(pts.end() - first), static_cast<double>(frames), 1.0);
  EXPECT_NEAR(clip.durationSeconds, seconds, 1.0 / 30 + 1e-3);
  EXPECT_EQ(clip.video.decodeErrors, 0);
}

TEST(ClipSave, PassthroughStartsAtTheSpanStartBehindAnEditListAndReportsProgressInOrder) {
  SaveRig rig(24.0);
  Scratch scratch;
  const int64_t now = TickClock::Now();
  rig.request = now;
  // The first segment's frames end exactly at the span start (now - 24 s) but
  // it was finalized late (2.6 s), so the ring still hands it over. The span
  // start falls 0.5 s into the next one, on its frame 15 (white); eleven
  // segments follow, the last one ending 0.5 s before the request.
  rig.Add(SegmentFromBytes(Bytes(), now - 26 * kTicks, 2.6, 60));
  for (int i = 0; i < 12; ++i) {
    rig.Add(SegmentFromBytes(Bytes(i == 0 ? 15 : -1), now - 245 * kTicks / 10 + i * 2 * kTicks, 2.0, 60));
  }
  // What a poller reads after every progress change, and once the save is done.
  std::vector<std::array<int, 3>> seen;
  auto read = [&](uint32_t = 0, uint32_t = 0, uint32_t = 0) {
    std::array<int, 3>& triple = seen.emplace_back();
    rig.progress.Read(&triple[0], &triple[1], &triple[2]);
  };
  rig.seam.afterProgress = read;
  const fs::path target = scratch.path / "new";
  ASSERT_TRUE(rig.Save(target.wstring()));
  read();
  std::vector<std::array<int, 3>> expected{{1, 0, 0}, {2, 0, 0}};
  for (int i = 0; i <= 12; ++i) expected.push_back({3, i, 12});
  expected.insert(expected.end(), {{4, 0, 0}, {0, 0, 0}});
  EXPECT_EQ(seen, expected);

  // The straddling segment is copied whole, its first half second behind
  // the edit list: players start at the white frame, and the clip lasts
  // from the span start to the end of the last frame.
  ClipInfo clip = ProbeClip(Narrow(rig.path), true);
  EXPECT_EQ(clip.streamCount, 1);
  ExpectKeyFirstAndRisingTimes(clip.video, -0.5);
  ASSERT_EQ(clip.video.packets.size(), 12u * 60u);
  ExpectShown(clip, true, 12 * 60 - 15, 23.5);
  EXPECT_TRUE(rig.log.Has(L"Saved clip: ~23s video, ~0s audio -> " + rig.path));
  EXPECT_EQ(rig.log.Containing(L"stage=segment-").size(), 3u);  // every tenth segment and the last one
  EXPECT_EQ(fs::path(rig.path).parent_path(), target);  // the folder was created
}

TEST(ClipSave, AClipEndsAtTheRequestAndLastsTheSecondsAskedFor) {
  // Segments of 2 s from 6.5 s before the request to 1.5 s after it (the
  // ring got ahead of a late request); flashes at frame 45 of the first
  // (the span start of a 5 s clip) and frame 15 of the third.
  struct Case {
    int seconds;      // asked for
    double length;    // what the clip must last
    bool whiteFirst;  // the first frame shown is the flash
  };
  for (const Case& c : {Case{5, 5.0, true}, Case{4, 4.0, false}, Case{0, 5.0, true}, Case{9, 5.0, true},
                        Case{-3, 5.0, true}, Case{1, 1.0, false}}) {
    SCOPED_TRACE(c.seconds);
    SaveRig rig(5.0);
    Scratch scratch;
    rig.request = TickClock::Now();
    rig.seconds = c.seconds;
    const int64_t first = *rig.request - 65 * kTicks / 10;
    rig.Add(SegmentFromBytes(Bytes(45), first, 2.0, 60));
    rig.Add(SegmentFromBytes(Bytes(), first + 2 * kTicks, 2.0, 60));
    rig.Add(SegmentFromBytes(Bytes(15), first + 4 * kTicks, 2.0, 60));
    rig.Add(SegmentFromBytes(Bytes(), first + 6 * kTicks, 2.0, 60));
    ASSERT_TRUE(rig.Save(scratch.Wide()));
    ClipInfo clip = ProbeClip(Narrow(rig.path), true);
    ExpectShown(clip, c.whiteFirst, static_cast<size_t>(c.length * 30), c.length);
    // Nothing stamped at or after the request is in the clip.
    EXPECT_LT(clip.video.packets.back().ptsSeconds, c.length - 1e-3);
    // The third segment's flash sits 4.5 s after the first segment's start.
    const std::vector<double> flashes = FlashOnsets(clip.video);
    const double flash = 4.5 - (6.5 - c.length);
    if (flash >= 0) {
      ASSERT_FALSE(flashes.empty());
      EXPECT_NEAR(flashes.back(), flash, 1e-3);
    }
  }
}

// After a clip saved with discard-on-save the next one starts on the first
// frame slot at or after that clip's end, never on the slot holding it (its
// frame is the last one of the clip before); with no frame slot left before
// the request there is nothing new, and no file.
TEST(ClipSave, AClipAfterADiscardStartsOnTheFirstFrameAtOrAfterTheFloor) {
  SaveRig rig(10.0);
  Scratch scratch;
  const int64_t request = TickClock::Now();
  rig.request = request;
  const int64_t first = request - 65 * kTicks / 10;
  rig.Add(SegmentFromBytes(Bytes(45), first, 2.0, 60));
  rig.Add(SegmentFromBytes(Bytes(), first + 2 * kTicks, 2.0, 60));
  rig.Add(SegmentFromBytes(Bytes(), first + 4 * kTicks, 2.0, 60));
  rig.Add(SegmentFromBytes(Bytes(), first + 6 * kTicks, 2.0, 60));
  const int64_t frame = kTicks / 30;
  // The floor half-way into frame 44: the clip starts with frame 45 (white).
  const int64_t floor = first + 44 * frame + frame / 2;
  rig.shape.span = TickSpan{floor, request};
  rig.shape.notBeforeTicks = floor;
  ASSERT_EQ(rig.SaveShaped(scratch.Wide()), SaveOutcome::kSaved);
  ClipInfo clip = ProbeClip(Narrow(rig.path), true);
  ExpectShown(clip, true, 150, static_cast<double>(request - (first + 45 * frame)) / kTicks);

  // The floor just after the last frame slot before the request.
  const int64_t lastSlot = first + 6 * kTicks + 14 * frame;  // a frame before the request
  rig.shape.span = TickSpan{lastSlot + frame / 2, lastSlot + frame};
  rig.shape.notBeforeTicks = lastSlot + frame / 2;
  rig.request = lastSlot + frame;
  const size_t files = static_cast<size_t>(std::distance(fs::directory_iterator(scratch.path), {}));
  EXPECT_EQ(rig.SaveShaped(scratch.Wide()), SaveOutcome::kNothingNew);
  // A span the floor has wholly passed.
  rig.shape.span = TickSpan{request, request};
  rig.shape.notBeforeTicks = request + kTicks;
  EXPECT_EQ(rig.SaveShaped(scratch.Wide()), SaveOutcome::kNothingNew);
  EXPECT_EQ(static_cast<size_t>(std::distance(fs::directory_iterator(scratch.path), {})), files);
  EXPECT_EQ(rig.log.Containing(L"Nothing new since the last clip saved with discard - save ignored.").size(), 2u);
}

TEST(ClipSave, NotRunningSavesNothing) {
  Scratch scratch;
  SaveRig stopped;
  stopped.running.store(false);
  AddSegmentsEndingAt(stopped, 2, TickClock::Now());
  EXPECT_FALSE(stopped.Save((scratch.path / "clips").wstring()));
  EXPECT_EQ(stopped.log.All(), std::vector<std::wstring>{L"SaveClipNow() called while not running - ignored."});
  EXPECT_TRUE(fs::is_empty(scratch.path));
}

TEST(ClipSave, EveryFailureEndsTheSaveWithItsTextAndLeavesNoFileBehind) {
  SegmentOptions yuv422;
  yuv422.frameCount = 4;
  yuv422.pixelFormat = AV_PIX_FMT_YUV422P;
  const SharedBytes ok = Bytes(), bad = std::make_shared<std::vector<uint8_t>>(4096, uint8_t{0x5A}),
                    bytes422 = EncodeSegmentBytes(yuv422);
  using enum SaveFault;
  const std::wstring full = L"write failed for output file (No space left on device)";
  struct Case {
    SharedBytes first, second;
    bool reencode;
    uint16_t audioTag;  // 0: no audio
    std::optional<SaveFault> failAt;
    int64_t diskBytes;  // writes leave in 4 KiB blocks: 0 fails the first one, 4097 the second
    std::wstring text;
    std::string encoder = "libx264";
  };
  const std::vector<Case> cases{
      {bad, ok, false, 0, {}, -1, L"avformat_open_input failed probing first segment"},
      {ok, ok, false, 0, kProbeStreamInfo, -1, L"avformat_find_stream_info failed probing first segment"},
      {ok, ok, false, 0, kAllocOutputContext, -1, L"avformat_alloc_output_context2 failed"},
      {ok, ok, false, 0, {}, 0, full},
      {ok, ok, false, 1, {}, 4097, full},
      {ok, ok, false, 0, {}, -2, L"closing output file failed (Input/output error)"},  // -2: the close fails
      {ok, bad, false, 0, {}, -1, L"avformat_open_input failed for segment passthrough"},
      {ok, ok, false, 0, kPassthroughStreamInfo, -1, L"no described video stream for segment passthrough"},
      {ok, ok, false, 1, kAacEncoderOpen, -1, L"avcodec_open2 failed for aac encoder"},
      {ok, ok, false, 0x55, {}, -1, L"0x88890008 (" + HresultMessage(hr::kAudioUnsupportedFormat) + L")"},
      {ok, ok, true, 0, {}, -1, L"save-time re-encoder: encoder not found", "no_such_encoder"},
      {ok, bad, true, 0, {}, -1, L"save-time transcode: avformat_open_input failed"},
      {ok, ok, true, 0, kTranscodeStreamInfo, -1, L"save-time transcode: find_stream_info failed"},
      {ok, ok, true, 0, kTranscodeDecoderOpen, -1, L"save-time transcode: decoder open failed"},
      {bytes422, bytes422, true, 0, {}, -1,
       L"save-time transcode: unexpected decoded pixel format " + std::to_wstring(+AV_PIX_FMT_YUV422P)},
      {ok, ok, false, 0, {}, -1, L"0x80004005 (" + HresultMessage(hr::kFail) + L")"},  // thrown mid-save
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Narrow(c.text));
    SaveRig rig;
    Scratch scratch;
    const int64_t now = TickClock::Now();
    rig.Add(SegmentFromBytes(c.first, now - 4 * kTicks, 2.0, 60, c.reencode));
    rig.Add(SegmentFromBytes(c.second, now - 2 * kTicks, 2.0, 60, c.reencode));
    if (c.audioTag != 0) {
      rig.desktopRing.SetWaveFormat(WaveFormatBlock(c.audioTag, 2, 48000, 16));
      rig.desktopRing.AppendWithCutoff(MakeAudioChunk(std::vector<uint8_t>(19200), now - 3 * kTicks, 2.0), INT64_MIN);
    }
    rig.encoderName = c.encoder;
    rig.seam.fail = [&c](SaveFault point, int) { return point == c.failAt; };
    rig.seam.diskBytes = std::max<int64_t>(c.diskBytes, -1);
    rig.seam.failClose = c.diskBytes == -2;
    if (c.text.starts_with(L"0x80004005")) {
      rig.seam.afterProgress = [](uint32_t stage, uint32_t done, uint32_t) {
        if (stage == 3 && done == 2) throw HresultError(hr::kFail);
      };
    }
    rig.path = L"untouched";
    EXPECT_FALSE(rig.Save(scratch.Wide()));
    EXPECT_EQ(rig.path, L"untouched");
    EXPECT_TRUE(rig.log.Has(L"SaveClipNow() failed: " + c.text));
    EXPECT_EQ(rig.log.Has(L"SaveClipNow: unsupported audio format: format tag 0x0055"), c.audioTag == 0x55);
    int stage = 9, done = 9, total = 9;
    EXPECT_FALSE(rig.progress.Read(&stage, &done, &total));
    EXPECT_EQ(stage, 0);
    EXPECT_TRUE(fs::is_empty(scratch.path));  // a failed clip is not left behind half-written
    // The next save, with room to write, works.
    rig.seam = TestSeam();
    if (c.first == ok && c.second == ok && c.audioTag != 0x55 && c.encoder == "libx264") {
      EXPECT_TRUE(rig.Save(scratch.Wide()));
    }
  }
}

// A clicked source: 6 s of silence in its format with a 10 ms burst `click`
// seconds in. Made before the clock is read (an instrumented build makes it
// slowly), then added as three 2 s chunks from `start`; a chunk equal to the
// one before it shares its buffer, as a silent source's capture hands it over.
struct ClickedSource {
  ClickedSource(std::vector<uint8_t> waveFormat, double click) : format(std::move(waveFormat)) {
    const uint32_t rate = ParseWaveFormat(format.data(), format.size()).samplesPerSecond;
    bytes = MakeAudioBytes(format, 6ull * rate, [&](uint64_t frame, int) {
      const double t = static_cast<double>(frame) / rate;
      return t >= click && t < click + 0.010 ? 0.9 : 0.0;
    });
  }
  void AddTo(AudioRing& ring, int64_t start) const {
    ring.SetWaveFormat(format);
    const size_t third = bytes.size() / 3;
    SharedBytes previous;
    for (size_t c = 0; c < 3; ++c) {
      AudioChunk chunk = MakeAudioChunk({bytes.begin() + c * third, bytes.begin() + (c + 1) * third},
                                        start + static_cast<int64_t>(c) * 2 * kTicks, 2.0);
      if (previous && *previous == *chunk.bytes) chunk.bytes = previous;
      previous = chunk.bytes;
      ring.AppendWithCutoff(std::move(chunk), INT64_MIN);
    }
  }
  std::vector<uint8_t> format, bytes;
};

TEST(ClipSave, ClicksAndFlashesRecordedAtTheSameTickLineUpAndAudioEndsWithTheVideo) {
  SaveRig rig(5.0);
  Scratch scratch;
  rig.settings.desktopVolume = 1.0f;
  rig.settings.micVolume = 1.0f;
  Bytes(), Bytes(15);  // made before the clock is read
  const ClickedSource desktop(WaveFormatBlock(3, 2, 48000, 32), 1.8), mic(WaveFormatBlock(1, 1, 44100, 16), 2.9);
  const int64_t now = TickClock::Now();
  rig.request = now - 5 * kTicks / 10;
  // Segments from 6.5 s ago; the clip's zero is 5 s before the request, 1 s
  // into the first. Flashes 4.0 s and 2.0 s ago (frame 15 of the second and
  // third segments).
  const int64_t first = now - 65 * kTicks / 10;
  rig.Add(SegmentFromBytes(Bytes(), first, 2.0, 60));
  rig.Add(SegmentFromBytes(Bytes(15), first + 2 * kTicks, 2.0, 60));
  rig.Add(SegmentFromBytes(Bytes(15), first + 4 * kTicks, 2.0, 60));
  // Desktop audio from 5.8 s ago clicks 4.0 s ago; the microphone (44.1 kHz
  // mono 16-bit) from 4.9 s ago clicks 2.0 s ago. Both run past the video.
  desktop.AddTo(rig.desktopRing, now - 58 * kTicks / 10);
  mic.AddTo(rig.micRing, now - 49 * kTicks / 10);

  ASSERT_TRUE(rig.Save(scratch.Wide()));
  ClipInfo clip = ProbeClip(Narrow(rig.path), true);
  std::vector<double> flashes = FlashOnsets(clip.video);
  std::vector<double> clicks = ClickOnsets(clip.audio);
  ASSERT_EQ(flashes.size(), 2u);
  ASSERT_EQ(clicks.size(), 2u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_NEAR(flashes[i], 1.5 + 2.0 * static_cast<double>(i), 1e-3);
    EXPECT_NEAR(clicks[i], flashes[i], 1.0 / 30) << "pair " << i;
  }
  // The clip runs from its zero to the end of the last frame (the request);
  // the audio starts with the first frame and ends with the last.
  ExpectShown(clip, false, 150, 5.0);
  EXPECT_NEAR(clip.audio.firstSampleSeconds, 0.0, 1e-3);
  EXPECT_NEAR(static_cast<double>(clip.audio.peak.size()) / 48000.0, 5.0, 1024.0 / 48000.0);
  EXPECT_TRUE(rig.log.Has(L"Saved clip: ~5s video, ~5s audio -> " + rig.path));
}

TEST(ClipSave, SilentChunksSharingOneBufferEachKeepTheirTimeInTheClip) {
  SaveRig rig(5.0);
  Scratch scratch;
  rig.settings.desktopVolume = 1.0f;
  Bytes();  // made before the clock is read
  // Desktop audio from 5.8 s ago: two silent chunks on one buffer, then the
  // click 4.5 s in (1.3 s ago, 4.2 s into the clip that ends 0.5 s ago).
  const ClickedSource desktop(WaveFormatBlock(3, 2, 48000, 32), 4.5);
  const int64_t now = TickClock::Now();
  rig.request = now - 5 * kTicks / 10;
  AddSegmentsEndingAt(rig, 3, *rig.request);
  desktop.AddTo(rig.desktopRing, now - 58 * kTicks / 10);
  const auto chunks = rig.desktopRing.TakeSnapshot({INT64_MIN, INT64_MAX});
  ASSERT_EQ(chunks.size(), 3u);
  ASSERT_EQ(chunks[0].bytes, chunks[1].bytes);
  EXPECT_EQ(rig.desktopRing.TotalBytes(), desktop.bytes.size() * 2 / 3);

  ASSERT_TRUE(rig.Save(scratch.Wide()));
  ClipInfo clip = ProbeClip(Narrow(rig.path), true);
  const std::vector<double> clicks = ClickOnsets(clip.audio);
  ASSERT_EQ(clicks.size(), 1u);
  EXPECT_NEAR(clicks[0], 4.2, 0.005);
  EXPECT_NEAR(static_cast<double>(clip.audio.peak.size()) / 48000.0, 5.0, 1024.0 / 48000.0);
}

TEST(ClipSave, NonFiniteVolumesAndSamplesNeverReachTheAacEncoder) {
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  // {desktop volume, mic volume, whether the desktop click is heard}
  for (const auto& [desktop, mic, heard] : std::vector<std::tuple<float, float, bool>>{
           {nan, nan, false}, {inf, -inf, true}, {-inf, nan, false}}) {
    SCOPED_TRACE(std::to_string(desktop) + " " + std::to_string(mic));
    SaveRig rig(5.0);
    Scratch scratch;
    rig.settings.desktopVolume = desktop;
    rig.settings.micVolume = mic;
    // A float microphone that delivers NaN samples throughout.
    std::vector<float> nanSamples(96000, nan);
    std::vector<uint8_t> nanBytes(reinterpret_cast<uint8_t*>(nanSamples.data()),
                                  reinterpret_cast<uint8_t*>(nanSamples.data() + nanSamples.size()));
    Bytes();  // made before the clock is read
    const ClickedSource clicked(WaveFormatBlock(3, 2, 48000, 32), 2.0);
    const int64_t now = TickClock::Now();
    AddSegmentsEndingAt(rig, 3, now);
    clicked.AddTo(rig.desktopRing, now - 6 * kTicks);
    rig.micRing.SetWaveFormat(WaveFormatBlock(3, 1, 48000, 32));
    for (int c = 0; c < 3; ++c) {
      rig.micRing.AppendWithCutoff(MakeAudioChunk(nanBytes, now - (6 - 2 * c) * kTicks, 2.0), INT64_MIN);
    }
    ASSERT_TRUE(rig.Save(scratch.Wide()));
    ClipInfo clip = ProbeClip(Narrow(rig.path), true);
    ASSERT_TRUE(clip.audio.present);
    EXPECT_EQ(clip.audio.decodeErrors, 0);
    ASSERT_FALSE(clip.audio.peak.empty());
    EXPECT_TRUE(std::ranges::all_of(clip.audio.peak, [](float x) { return std::isfinite(x); }));
    EXPECT_EQ(ClickOnsets(clip.audio).size(), heard ? 1u : 0u);
  }
}

// OSTREL_SAVE_QUALITY for one scope.
struct ScopedQuality {
  explicit ScopedQuality(const char* v) { v ? setenv("OSTREL_SAVE_QUALITY", v, 1) : unsetenv("OSTREL_SAVE_QUALITY"); }
  ~ScopedQuality() { unsetenv("OSTREL_SAVE_QUALITY"); }
};

TEST(ClipSave, OneSegmentNeedingReencodeReencodesTheClipInFastOrQualityModeWithFallbacks) {
  for (const auto& [value, quality] : std::vector<std::pair<const char*, bool>>{
           {"1", true}, {"0", false}, {"true", false}, {"1 ", false}, {nullptr, false}}) {
    ScopedQuality scoped(value);
    EXPECT_EQ(SaveQualityModeRequested(), quality) << (value ? value : "(unset)");
  }
  // {OSTREL_SAVE_QUALITY, quality attempts 1..n that fail to open, mode line}
  const std::vector<std::tuple<const char*, int, std::wstring>> modes{
      {nullptr, 0, L"CURRENT (veryfast, VBR, no-B, GOP=2s)"},
      {"1", 0, L"QUALITY (veryslow, B=3, GOP=10s, LA-VBR depth=40 +extbrc)"},
      {"1", 1, L"QUALITY (veryslow, B=3, GOP=10s, +extbrc, no-LA)"},
      {"1", 2, L"QUALITY (veryslow, B=3, GOP=10s, preset-only)"},
      {"1", 3, L""},  // all refused: the save fails rather than falling back to fast mode
  };
  for (const auto& [value, refused, description] : modes) {
    SCOPED_TRACE(Narrow(description));
    ScopedQuality quality(value);
    SaveRig rig(4.0);
    Scratch scratch;
    rig.request = TickClock::Now();
    const int64_t first = AddSegmentsEndingAt(rig, 1, *rig.request - 2 * kTicks);
    rig.Add(SegmentFromBytes(Bytes(15), first + 2 * kTicks, 2.0, 60, true));
    rig.seam.fail = [refused = refused](SaveFault point, int attempt) {
      return point == SaveFault::kReencoderOpen && attempt >= 1 && attempt <= refused;
    };
    const bool saved = rig.Save(scratch.Wide());
    if (refused == 3) {
      EXPECT_FALSE(saved);
      EXPECT_TRUE(rig.log.Has(L"SaveClipNow() failed: save-time re-encoder: avcodec_open2 failed"));
      continue;
    }
    ASSERT_TRUE(saved);
    EXPECT_TRUE(rig.log.Has(L"SaveClipNow: two-stage re-encode 2 segment(s) -> 400kbps"));
    EXPECT_TRUE(rig.log.Has(L"[DIAG-SAVE-QUALITY] mode=" + description + L" @ 400kbps"));
    ClipInfo clip = ProbeClip(Narrow(rig.path), true);
    ExpectKeyFirstAndRisingTimes(clip.video);
    EXPECT_EQ(clip.video.packets.size(), 120u);
    EXPECT_EQ(std::make_pair(clip.video.colorPrimaries, clip.video.colorSpace), std::make_pair(1, 1));  // BT.709
    bool reordered = false;  // B-frames only in quality mode
    for (size_t i = 1; i < clip.video.packets.size(); ++i) {
      reordered |= clip.video.packets[i].ptsSeconds < clip.video.packets[i - 1].ptsSeconds;
    }
    EXPECT_EQ(reordered, value != nullptr);
    // The flash of the re-encoded segment keeps its place: 2 s + 15 frames.
    const std::vector<double> flashes = FlashOnsets(clip.video);
    ASSERT_EQ(flashes.size(), 1u);
    EXPECT_NEAR(flashes[0], 2.5, 1e-3);
  }
}

}  // namespace
}  // namespace ostrel::testing
