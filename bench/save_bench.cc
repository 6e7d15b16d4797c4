// Clip save figures: a 60 s, 6 Mbit/s, 720p60 replay (30 segments of 2 s)
// saved by passthrough, next to a plain write of as many bytes to the same
// folder, and saved again with both audio sources (48 kHz stereo float
// desktop, 44.1 kHz mono 16-bit microphone), once with the audio mixed and
// encoded while recording (the running mix, as a capture has it) and once
// mixed and encoded at save time. Target: the save with audio at most
// 0.30 s wall on an idle 2-core machine. The live saves run once more with
// separate audio tracks (the mix, desktop, microphone): target at most 1.5x
// the save without.
#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <cwchar>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
}

#include "encode/ffmpeg_segment_encoder.h"
#include "ostrel/ostrel.h"
#include "ostrel/ostrel_sim.h"
#include "process_readings.h"
#include "recording/live_mix.h"
#include "replay/tick_clock.h"
#include "save/clip_save.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int64_t kTicks = 10000000;
constexpr int kWidth = 1280, kHeight = 720, kFps = 60, kSegments = 30;
constexpr int64_t kBitrate = 6000000;

double Seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

// One 2 s segment as the live encoder writes it (H.264 in MP4, no B-frames,
// GOP 2 s, BT.709), with moving noise so the rate control spends its bits.
ostrel::SharedBytes EncodeSegment() {
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (!codec) {
    std::fprintf(stderr, "libx264 not available\n");
    std::exit(1);
  }
  AVCodecContext* c = avcodec_alloc_context3(codec);
  c->width = kWidth;
  c->height = kHeight;
  c->time_base = {1, kFps};
  c->framerate = {kFps, 1};
  c->pix_fmt = AV_PIX_FMT_NV12;
  c->gop_size = 2 * kFps;
  c->max_b_frames = 0;
  c->bit_rate = kBitrate;
  c->rc_max_rate = 2 * kBitrate;
  c->rc_buffer_size = static_cast<int>(4 * kBitrate);
  c->color_primaries = AVCOL_PRI_BT709;
  c->color_trc = AVCOL_TRC_BT709;
  c->colorspace = AVCOL_SPC_BT709;
  c->color_range = AVCOL_RANGE_MPEG;
  av_opt_set(c->priv_data, "preset", "ultrafast", 0);
  if (avcodec_open2(c, codec, nullptr) < 0) std::exit(1);
  AVFrame* frame = av_frame_alloc();
  frame->format = AV_PIX_FMT_NV12;
  frame->width = kWidth;
  frame->height = kHeight;
  av_frame_get_buffer(frame, 0);
  ostrel::MemoryWriter sink;
  auto* buffer = static_cast<uint8_t*>(av_malloc(32768));
  AVIOContext* io = avio_alloc_context(buffer, 32768, 1, &sink, nullptr, &ostrel::MemoryWriter::AvioWrite,
                                       &ostrel::MemoryWriter::Seek);
  AVFormatContext* mux = nullptr;
  avformat_alloc_output_context2(&mux, nullptr, "mp4", nullptr);
  mux->pb = io;
  mux->flags |= AVFMT_FLAG_CUSTOM_IO;
  AVStream* stream = avformat_new_stream(mux, nullptr);
  avcodec_parameters_from_context(stream->codecpar, c);
  stream->time_base = c->time_base;
  if (avformat_write_header(mux, nullptr) < 0) std::exit(1);
  AVPacket* packet = av_packet_alloc();
  auto drain = [&] {
    while (avcodec_receive_packet(c, packet) == 0) {
      av_packet_rescale_ts(packet, c->time_base, stream->time_base);
      packet->stream_index = 0;
      av_interleaved_write_frame(mux, packet);
    }
  };
  uint32_t seed = 12345;
  for (int i = 0; i < 2 * kFps; ++i) {
    av_frame_make_writable(frame);
    for (int y = 0; y < kHeight; ++y) {
      uint8_t* row = frame->data[0] + y * frame->linesize[0];
      for (int x = 0; x < kWidth; ++x) {
        seed = seed * 1664525u + 1013904223u;
        row[x] = static_cast<uint8_t>(16 + ((x + y + 4 * i) & 127) + (seed >> 28));
      }
    }
    for (int y = 0; y < kHeight / 2; ++y) std::memset(frame->data[1] + y * frame->linesize[1], 128, kWidth);
    frame->pts = i;
    avcodec_send_frame(c, frame);
    drain();
  }
  avcodec_send_frame(c, nullptr);
  drain();
  av_write_trailer(mux);
  av_packet_free(&packet);
  av_frame_free(&frame);
  avcodec_free_context(&c);
  avformat_free_context(mux);
  av_freep(&io->buffer);
  avio_context_free(&io);
  return std::make_shared<std::vector<uint8_t>>(sink.TakeBytes());
}

double LoadAverage() {
  double load = 0;
  return getloadavg(&load, 1) == 1 ? load : 0;
}

// Resident and peak resident set from /proc (MiB); the peak is reset first.
double StatusMiB(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(key, 0) == 0) return std::stod(line.substr(std::strlen(key))) / 1024.0;
  }
  return 0;
}
void ResetPeakRss() { std::ofstream("/proc/self/clear_refs") << "5"; }

std::vector<uint8_t> AudioBytes(bool desktop, int seconds) {
  // Desktop: 48 kHz stereo 32-bit float; microphone: 44.1 kHz mono 16-bit.
  const int rate = desktop ? 48000 : 44100;
  const size_t frames = static_cast<size_t>(rate) * seconds;
  std::vector<uint8_t> bytes(frames * (desktop ? 8 : 2));
  for (size_t f = 0; f < frames; ++f) {
    double v = 0.3 * std::sin(2 * M_PI * (desktop ? 440.0 : 660.0) * static_cast<double>(f) / rate);
    if (desktop) {
      float s = static_cast<float>(v);
      std::memcpy(&bytes[8 * f], &s, 4);
      std::memcpy(&bytes[8 * f + 4], &s, 4);
    } else {
      auto s = static_cast<int16_t>(v * 32767);
      std::memcpy(&bytes[2 * f], &s, 2);
    }
  }
  return bytes;
}

std::vector<uint8_t> WaveFormat(bool desktop) {
  std::vector<uint8_t> block(18, 0);
  auto put = [&](size_t at, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) block[at + i] = static_cast<uint8_t>(v >> (8 * i));
  };
  const uint16_t channels = desktop ? 2 : 1, bits = desktop ? 32 : 16;
  const uint32_t rate = desktop ? 48000 : 44100;
  put(0, desktop ? 3 : 1, 2);
  put(2, channels, 2);
  put(4, rate, 4);
  put(8, rate * channels * bits / 8, 4);
  put(12, channels * bits / 8, 2);
  put(14, bits, 2);
  return block;
}

struct Rig {
  std::atomic<bool> running{true};
  ostrel::SegmentRing video;
  ostrel::AudioRing desktop, mic;
  ostrel::ReplayWindow window{60.0};
  ostrel::SaveProgress progress;
  std::vector<std::wstring> failures;
  // Stage lines with the time they arrived, for a breakdown of the last save.
  std::vector<std::pair<std::string, Clock::time_point>> stages;

  bool Save(const std::wstring& folder, std::wstring* path, ostrel::LiveAacMix* live = nullptr,
            bool separateTracks = false) {
    ostrel::SaveSources sources{running, video, desktop, mic, window, progress, nullptr,
                                kWidth,  kHeight, kFps, static_cast<uint32_t>(kBitrate), "libx264",
                                [this](const std::wstring& line) {
                                  if (line.rfind(L"SaveClipNow() failed", 0) == 0) failures.push_back(line);
                                  const std::wstring tag = L"[DIAG-SAVE-MEM] stage=";
                                  if (line.rfind(tag, 0) == 0) {
                                    std::wstring name = line.substr(tag.size(), line.find(L' ', tag.size()) - tag.size());
                                    stages.emplace_back(std::string(name.begin(), name.end()), Clock::now());
                                  }
                                },
                                std::nullopt, 0, nullptr};
    if (live != nullptr) {
      sources.preEncodedAudio = [live](int64_t start, uint64_t frames, float desktopGain, float micGain,
                                       std::optional<ostrel::SourceTrackGains> trackGains) {
        return live->TakeForClip(start, frames, desktopGain, micGain, ostrel::TickClock::Now(), trackGains);
      };
    }
    sources.shape.separateTracks = separateTracks;
    stages.clear();
    return ostrel::SaveClipNow(sources, folder, *path);
  }
};

// Saves of a live capture on the fake world (1920x1080 -> 720p60, 6 Mbit/s,
// 10 s replay, desktop and microphone audio): from the call to the snapshot
// is the cut at the request (the running segment finalised into the ring,
// the audio threads' partial chunks handed over).
std::atomic<int64_t> g_snapshotNs{0};
int64_t SteadyNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}
void SnapshotWatch(const wchar_t* line) {
  if (std::wcsncmp(line, L"[DIAG-SAVE-MEM] stage=snapshot", 30) == 0) g_snapshotNs.store(SteadyNs());
}

void LiveCutFigures(const std::filesystem::path& folder) {
  OstrelSim_Reset();
  Ostrel_SetLogCallback(SnapshotWatch);
  Ostrel_GlobalInitialize();
  void* window = OstrelSim_CreateWindow(1920, 1080);
  if (Ostrel_StartCapture(window, false, 720, 60, static_cast<int>(kBitrate), 10) != 0) {
    std::fprintf(stderr, "live capture did not start\n");
    return;
  }
  std::this_thread::sleep_for(std::chrono::seconds(11));
  std::vector<double> cut, whole;
  for (int i = 0; i < 8; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    wchar_t path[1024];
    const int64_t begin = SteadyNs();
    if (Ostrel_SaveClipNow(folder.wstring().c_str(), path, 1024) != 0) continue;
    whole.push_back(static_cast<double>(SteadyNs() - begin) / 1e9);
    cut.push_back(static_cast<double>(g_snapshotNs.load() - begin) / 1e9);
    std::filesystem::remove(std::filesystem::path(std::wstring(path)));
  }
  Ostrel_StopCapture();
  Ostrel_GlobalShutdown();
  Ostrel_SetLogCallback(nullptr);
  if (cut.empty()) {
    std::fprintf(stderr, "live saves failed\n");
    return;
  }
  std::sort(cut.begin(), cut.end());
  std::sort(whole.begin(), whole.end());
  std::printf("live 10 s clip with audio, %zu saves: call to snapshot (cut at the request) median %.1f ms, max %.1f ms; "
              "whole save median %.3f s\n",
              cut.size(), 1e3 * cut[cut.size() / 2], 1e3 * cut.back(), whole[whole.size() / 2]);
}

}  // namespace

int main() {
  av_log_set_level(AV_LOG_ERROR);
  const auto folder = std::filesystem::temp_directory_path() / "ostrel_save_bench";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);

  auto start = Clock::now();
  ostrel::SharedBytes segment = EncodeSegment();
  std::printf("segment: %zu bytes (%.2f Mbit/s), encoded in %.2f s\n", segment->size(),
              segment->size() * 8.0 / 2.0 / 1e6, Seconds(start));

  // The clock starts with the process: let the replay reach before it.
  Rig rig;
  rig.window.SetFloorTicks(INT64_MIN / 2);
  auto desktopChunk = std::make_shared<std::vector<uint8_t>>(AudioBytes(true, 2));
  auto micChunk = std::make_shared<std::vector<uint8_t>>(AudioBytes(false, 2));
  // Refilled before every save so each one covers the full 60 s.
  // `beforeLast` runs before the last segment and chunks go in (the running
  // mix has not seen the last chunks when the save's cut hands them over).
  auto fill = [&](bool withAudio, const std::function<void()>& beforeLast = nullptr) {
    rig.video.Clear();
    rig.desktop.Clear();
    rig.mic.Clear();
    const int64_t first = ostrel::TickClock::Now() - kTicks / 2 - kSegments * 2 * kTicks;
    if (withAudio) {
      rig.desktop.SetWaveFormat(WaveFormat(true));
      rig.mic.SetWaveFormat(WaveFormat(false));
    }
    for (int i = 0; i < kSegments; ++i) {
      if (i == kSegments - 1 && beforeLast) beforeLast();
      ostrel::EncodedSegment record;
      record.bytes = segment;  // the same bytes thirty times over
      record.startTicks = first + i * 2 * kTicks;
      record.durationSeconds = 2.0;
      record.frameCount = 2 * kFps;
      rig.video.AppendWithCutoff(record, INT64_MIN);
      if (!withAudio) continue;
      // 2 s chunks like the capture threads cut them.
      ostrel::AudioChunk d, m;
      d.bytes = desktopChunk;
      m.bytes = micChunk;
      d.startTicks = m.startTicks = record.startTicks;
      d.durationSeconds = m.durationSeconds = 2.0;
      rig.desktop.AppendWithCutoff(d, INT64_MIN);
      rig.mic.AppendWithCutoff(m, INT64_MIN);
    }
  };

  const int runs = 3;
  std::vector<double> passWall, writeWall, audioWall, audioCpu, liveWall, liveCpu, mixCpu;
  std::vector<double> tracksWall, tracksCpu;
  std::vector<std::string> liveStages;
  double peakIncrease = 0, clipMiB = 0, audioPeakIncrease = 0;
  for (int run = 0; run < runs; ++run) {
    std::wstring path;
    fill(false);
    double before = StatusMiB("VmRSS:");
    ResetPeakRss();
    start = Clock::now();
    if (!rig.Save(folder.wstring(), &path)) {
      std::fprintf(stderr, "passthrough save failed\n");
      return 1;
    }
    passWall.push_back(Seconds(start));
    peakIncrease = std::max(peakIncrease, StatusMiB("VmHWM:") - before);
    const auto size = std::filesystem::file_size(path);
    clipMiB = size / 1048576.0;
    std::filesystem::remove(path);

    // A plain write of as many bytes to the same folder.
    std::vector<char> block(1 << 20, 'x');
    const auto plain = folder / "plain.bin";
    start = Clock::now();
    {
      std::FILE* file = std::fopen(plain.c_str(), "wb");
      for (uintmax_t written = 0; written < size; written += block.size()) {
        std::fwrite(block.data(), 1, std::min<uintmax_t>(block.size(), size - written), file);
      }
      std::fclose(file);
    }
    writeWall.push_back(Seconds(start));
    std::filesystem::remove(plain);
  }

  for (int run = 0; run < 2 * runs; ++run) {
    // Alternately without and with separate tracks, so load drifts touch both.
    const bool tracks = run % 2 == 1;
    std::wstring path;
    // What the running mix does while the first 58 s are recorded (its CPU
    // per recorded second, the source tracks included), then the save that
    // takes its packets and encodes the last chunks' audio.
    ostrel::LiveAacMix live(rig.desktop, rig.mic, rig.window, nullptr,
                            ostrel::TickClock::Now() - kTicks - kSegments * 2 * kTicks);
    // CPU seconds of the whole process (every thread of a save included): on
    // a shared, loaded machine the wall time says more about the neighbours.
    double cpuStart = 0;
    fill(true, [&] {
      cpuStart = bench::CpuSeconds();
      live.Advance(ostrel::TickClock::Now());
      mixCpu.push_back((bench::CpuSeconds() - cpuStart) * 60.0 / 58.0);
    });
    start = Clock::now();
    cpuStart = bench::CpuSeconds();
    const bool saved = rig.Save(folder.wstring(), &path, &live, tracks);
    (tracks ? tracksWall : liveWall).push_back(Seconds(start));
    (tracks ? tracksCpu : liveCpu).push_back(bench::CpuSeconds() - cpuStart);
    const bool preEncoded = std::any_of(rig.stages.begin(), rig.stages.end(),
                                        [](const auto& stage) { return stage.first == "audio-pre-encoded"; });
    if (!saved || !preEncoded) {
      std::fprintf(stderr, "save with pre-encoded audio failed (%s)\n", saved ? "save-time path taken" : "no clip");
      return 1;
    }
    std::filesystem::remove(path);
  }
  for (size_t i = 1; i < rig.stages.size(); ++i) {
    char item[96];
    std::snprintf(item, sizeof item, " %s %.0fms", rig.stages[i].first.c_str(),
                  std::chrono::duration<double, std::milli>(rig.stages[i].second - rig.stages[i - 1].second).count());
    liveStages.push_back(item);
  }

  for (int run = 0; run < runs; ++run) {
    std::wstring path;
    fill(true);
    double before = StatusMiB("VmRSS:");
    ResetPeakRss();
    start = Clock::now();
    const double cpuStart = bench::CpuSeconds();
    if (!rig.Save(folder.wstring(), &path)) {
      std::fprintf(stderr, "save with audio failed\n");
      return 1;
    }
    audioWall.push_back(Seconds(start));
    audioCpu.push_back(bench::CpuSeconds() - cpuStart);
    audioPeakIncrease = std::max(audioPeakIncrease, StatusMiB("VmHWM:") - before);
    std::filesystem::remove(path);
  }
  LiveCutFigures(folder);
  std::filesystem::remove_all(folder);
  std::string breakdown;
  for (size_t i = 1; i < rig.stages.size(); ++i) {
    char item[96];
    std::snprintf(item, sizeof item, " %s %.0fms", rig.stages[i].first.c_str(),
                  std::chrono::duration<double, std::milli>(rig.stages[i].second - rig.stages[i - 1].second).count());
    breakdown += item;
  }

  auto best = [](std::vector<double> v) { return *std::min_element(v.begin(), v.end()); };
  auto median = [](std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  };
  std::printf("clip: %.1f MiB (%d x 2 s, 720p60, 6 Mbit/s)\n", clipMiB, kSegments);
  std::printf("passthrough save: best %.3f s, median %.3f s; peak RSS increase %.1f MiB (%.0f%% of the clip)\n",
              best(passWall), median(passWall), peakIncrease, 100.0 * peakIncrease / clipMiB);
  std::printf("plain write of the same bytes: best %.3f s, median %.3f s\n", best(writeWall), median(writeWall));
  std::printf("save with desktop + microphone audio encoded while recording: best %.3f s, median %.3f s "
              "(target <= 0.30 s idle); CPU median %.3f s; the running mix took %.3f CPU s for the 60 s "
              "(%.2f %% of a core); load average %.1f\n",
              best(liveWall), median(liveWall), median(liveCpu), median(mixCpu), 100.0 * median(mixCpu) / 60.0,
              LoadAverage());
  std::string liveBreakdown;
  for (const auto& item : liveStages) liveBreakdown += item;
  std::printf("that save, time to reach each stage from the one before:%s\n", liveBreakdown.c_str());
  std::printf("the same with separate audio tracks (mix, desktop, microphone): best %.3f s, median %.3f s "
              "(%.2fx the median without; target <= 1.5x); CPU median %.3f s\n",
              best(tracksWall), median(tracksWall), median(tracksWall) / median(liveWall), median(tracksCpu));
  std::printf("save with desktop + microphone audio mixed and encoded at save time: best %.3f s, median %.3f s; CPU "
              "median %.3f s; peak RSS increase %.1f MiB\n",
              best(audioWall), median(audioWall), median(audioCpu), audioPeakIncrease);
  std::printf("last save with audio, time to reach each stage from the one before:%s\n", breakdown.c_str());
  if (!rig.failures.empty()) return 1;
  return 0;
}
