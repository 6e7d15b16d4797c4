// The clip's audio encoding on its own: 60 s of a music-like 48 kHz stereo
// mix through FFmpeg's AAC encoder at 128 kbit/s: one plain encoder with the
// two-loop coder (the clip's encoder before slicing) and with the fast coder
// for comparison, then the clip's encoder whole and in parallel slices as the
// save runs it. Prints wall and CPU time and
// the SNR of each decoded result against the mix (the priming dropped), over
// the whole clip and, for the slices, the worst 1024-sample block within four
// frames of a join next to the worst block anywhere. Last, the same mix as
// the desktop source of a running mix (encoded while "recording" in quarter
// seconds) and a clip of it finished as a save does: the running mix's CPU
// per recorded second, the save's tail, and the clip's SNR and its join.
//
// usage: aac_bench [seconds=60]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

#include "process_readings.h"
#include "recording/live_mix.h"
#include "save/aac_slices.h"

namespace {

using bench::ArenaCount;
using bench::CpuSeconds;
using bench::ResidentMb;

using ostrel::ffmpeg::PacketPtr;
constexpr int kRate = 48000;

// Chords with tremolo, a gliding tone, short notes, harmonics up to 7 kHz and
// a little noise; different on each side.
std::vector<float> MusicLike(size_t frames) {
  std::vector<float> samples(2 * frames);
  uint32_t seed = 3;
  auto noise = [&] {
    seed = seed * 1664525u + 1013904223u;
    return static_cast<double>(seed >> 8) / 16777216.0 - 0.5;
  };
  const double pi2 = 2 * std::numbers::pi;
  for (size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double beat = std::fmod(t, 0.5);
    const double note = beat < 0.2 ? 0.15 * std::sin(pi2 * (440 + 110 * std::floor(std::fmod(t, 4.0))) * t) *
                                         std::exp(-8 * beat)
                                   : 0.0;
    samples[2 * i] = static_cast<float>(0.2 * std::sin(pi2 * 220 * t) * (1 + 0.5 * std::sin(pi2 * 0.7 * t)) +
                                        0.1 * std::sin(pi2 * 277.2 * t) + 0.08 * std::sin(pi2 * 329.6 * t) +
                                        0.05 * std::sin(pi2 * 5500 * t) + note + 0.04 * noise());
    samples[2 * i + 1] = static_cast<float>(0.2 * std::sin(pi2 * 221 * t) + 0.1 * std::sin(pi2 * 440 * t) +
                                            0.04 * std::sin(pi2 * 7000 * t) + 0.7 * note + 0.04 * noise());
  }
  return samples;
}

// One plain encoder with the given coder, 1024-sample frames.
std::vector<PacketPtr> EncodePlain(const std::vector<float>& mix, size_t frames, const char* coder) {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
  ostrel::ffmpeg::CodecContextPtr c(avcodec_alloc_context3(codec));
  c->sample_rate = kRate;
  c->bit_rate = 128000;
  c->sample_fmt = AV_SAMPLE_FMT_FLTP;
  av_channel_layout_default(&c->ch_layout, 2);
  c->time_base = {1, kRate};
  av_opt_set(c->priv_data, "aac_coder", coder, 0);
  if (avcodec_open2(c.get(), codec, nullptr) < 0) std::exit(1);
  std::vector<PacketPtr> packets;
  ostrel::ffmpeg::PacketPtr packet(av_packet_alloc());
  auto drain = [&] {
    while (avcodec_receive_packet(c.get(), packet.get()) == 0) packets.emplace_back(av_packet_clone(packet.get())), av_packet_unref(packet.get());
  };
  for (size_t at = 0; at < frames; at += 1024) {
    ostrel::ffmpeg::FramePtr frame(av_frame_alloc());
    frame->format = AV_SAMPLE_FMT_FLTP;
    frame->sample_rate = kRate;
    frame->nb_samples = static_cast<int>(std::min<size_t>(1024, frames - at));
    av_channel_layout_copy(&frame->ch_layout, &c->ch_layout);
    av_frame_get_buffer(frame.get(), 0);
    for (int i = 0; i < frame->nb_samples; ++i) {
      reinterpret_cast<float*>(frame->data[0])[i] = mix[2 * (at + i)];
      reinterpret_cast<float*>(frame->data[1])[i] = mix[2 * (at + i) + 1];
    }
    frame->pts = static_cast<int64_t>(at);
    avcodec_send_frame(c.get(), frame.get());
    drain();
  }
  avcodec_send_frame(c.get(), nullptr);
  drain();
  return packets;
}

std::vector<float> Decode(const std::vector<PacketPtr>& packets) {
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
  ostrel::ffmpeg::CodecContextPtr decoder(avcodec_alloc_context3(codec));
  decoder->sample_rate = kRate;
  av_channel_layout_default(&decoder->ch_layout, 2);
  decoder->extradata = static_cast<uint8_t*>(av_mallocz(2 + AV_INPUT_BUFFER_PADDING_SIZE));
  decoder->extradata[0] = 0x11;  // AAC-LC, 48 kHz, stereo
  decoder->extradata[1] = 0x90;
  decoder->extradata_size = 2;
  if (avcodec_open2(decoder.get(), codec, nullptr) < 0) std::exit(1);
  ostrel::ffmpeg::FramePtr frame(av_frame_alloc());
  std::vector<float> out;
  auto drain = [&] {
    while (avcodec_receive_frame(decoder.get(), frame.get()) == 0) {
      for (int i = 0; i < frame->nb_samples; ++i) {
        out.push_back(reinterpret_cast<const float*>(frame->extended_data[0])[i]);
        out.push_back(reinterpret_cast<const float*>(frame->extended_data[1])[i]);
      }
      av_frame_unref(frame.get());
    }
  };
  for (const auto& packet : packets) {
    avcodec_send_packet(decoder.get(), packet.get());
    drain();
  }
  avcodec_send_packet(decoder.get(), nullptr);
  drain();
  // Samples before time 0 (the priming) go, as behind an MP4 edit list.
  const auto skip = static_cast<size_t>(packets.empty() ? 0 : 2 * -packets.front()->pts);
  out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(std::min(out.size(), skip)));
  return out;
}

double SnrDb(const std::vector<float>& source, const std::vector<float>& decoded, size_t from, size_t to) {
  double signal = 0, error = 0;
  for (size_t i = 2 * from; i < 2 * to && i < decoded.size(); ++i) {
    signal += static_cast<double>(source[i]) * source[i];
    error += (static_cast<double>(decoded[i]) - source[i]) * (static_cast<double>(decoded[i]) - source[i]);
  }
  return 10 * std::log10(signal / std::max(error, 1e-20));
}

}  // namespace

int main(int argc, char** argv) {
  av_log_set_level(AV_LOG_ERROR);
  const int seconds = argc > 1 ? std::max(6, std::atoi(argv[1])) : 60;
  const size_t frames = static_cast<size_t>(seconds) * kRate;
  const std::vector<float> mix = MusicLike(frames);
  const unsigned slices = ostrel::AacSliceCount(frames, std::thread::hardware_concurrency());
  std::printf("AAC 128 kbit/s, %d s music-like stereo mix, %u hardware threads\n", seconds,
              std::thread::hardware_concurrency());
  auto run = [&](const char* name, auto encode) {
    const auto begin = std::chrono::steady_clock::now();
    const double cpu = CpuSeconds();
    std::vector<PacketPtr> packets = encode();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    const double used = CpuSeconds() - cpu;
    const std::vector<float> decoded = Decode(packets);
    std::printf("  %-24s wall %.3f s, CPU %.3f s, %zu packets, SNR %.2f dB\n", name, wall, used, packets.size(),
                SnrDb(mix, decoded, 4800, frames - 4800));
    return decoded;
  };
  run("plain, two-loop coder", [&] { return EncodePlain(mix, frames, "twoloop"); });
  run("plain, fast coder", [&] { return EncodePlain(mix, frames, "fast"); });
  const auto whole = run("clip's encoder, whole", [&] { return ostrel::EncodeAacInSlices(mix.data(), frames, 1); });
  char name[64];
  std::snprintf(name, sizeof name, "clip's, %u slices", slices);
  const auto sliced = run(name, [&] { return ostrel::EncodeAacInSlices(mix.data(), frames, slices); });

  // Worst block next to a join against the worst block anywhere.
  const uint64_t encoderFrames = (frames + 1023) / 1024;
  double worstJoin = 1e9, worstAnywhere = 1e9;
  for (size_t block = 4096; block + 1024 < frames - 4096; block += 1024) {
    worstAnywhere = std::min(worstAnywhere, SnrDb(mix, sliced, block, block + 1024));
  }
  for (unsigned j = 1; j < slices; ++j) {
    const size_t join = static_cast<size_t>(encoderFrames * j / slices * 1024);
    for (size_t block = join - 4096; block < join + 4096; block += 1024)
      worstJoin = std::min(worstJoin, SnrDb(mix, sliced, block, block + 1024));
  }
  if (slices > 1) {
    std::printf("  worst 1024-sample block SNR: %.2f dB within 4 frames of a join, %.2f dB anywhere\n", worstJoin,
                worstAnywhere);
  }
  std::printf("  sliced vs whole decoded output: %.2f dB apart (SNR of one against the other)\n",
              SnrDb(whole, sliced, 4800, frames - 4800));

  // The mix as a 48 kHz float stereo desktop source at full volume (the
  // soft clip leaves it as it is), recorded in 2 s chunks.
  constexpr int64_t kTicks = 10000000;
  ostrel::AudioRing desktop, mic;
  ostrel::ReplayWindow window(seconds);
  std::vector<uint8_t> format(18, 0);
  const uint8_t header[16] = {3, 0, 2, 0, 0x80, 0xBB, 0, 0, 0, 0xDC, 5, 0, 8, 0, 32, 0};  // float, 2 ch, 48 kHz
  std::copy(std::begin(header), std::end(header), format.begin());
  desktop.SetWaveFormat(format);
  desktop.SetCapturing(true);
  ostrel::AudioSettings settings;
  settings.desktopVolume = 1.0f;
  settings.micMuted = true;
  ostrel::LiveAacMix live(desktop, mic, window, [&] { return settings; }, 0);
  double liveCpu = 0;
  for (size_t chunk = 0; chunk * 2 * kRate < frames; ++chunk) {
    const size_t first = chunk * 2 * kRate, count = std::min<size_t>(2 * kRate, frames - first);
    ostrel::AudioChunk record;
    record.bytes = std::make_shared<std::vector<uint8_t>>(reinterpret_cast<const uint8_t*>(mix.data() + 2 * first),
                                                          reinterpret_cast<const uint8_t*>(mix.data() + 2 * (first + count)));
    record.startTicks = static_cast<int64_t>(first) * kTicks / kRate;
    record.durationSeconds = static_cast<double>(count) / kRate;
    desktop.AppendWithCutoff(record, INT64_MIN);
    for (int quarter = 1; quarter <= 8; ++quarter) {
      const double cpu = CpuSeconds();
      live.Advance(record.startTicks + quarter * kTicks / 4);
      liveCpu += CpuSeconds() - cpu;
    }
  }
  // A clip from 0.1234 s (between samples, off the encoder's frame grid) to the end.
  const int64_t clipStart = 1234000;
  const size_t clipFrames = frames - static_cast<size_t>(clipStart * kRate / kTicks) - 1;
  const double cpu = CpuSeconds();
  auto pre = live.TakeForClip(clipStart, clipFrames, 1.0f, 0.0f, static_cast<int64_t>(frames) * kTicks / kRate);
  if (!pre) {
    std::printf("  running mix: the clip was not covered\n");
    return 1;
  }
  const size_t zero = pre->clipZero, join = pre->encodedEnd - pre->clipZero;
  const auto packets = ostrel::FinishClipAudio(std::move(*pre));
  const double tailCpu = CpuSeconds() - cpu;
  const auto clip = Decode(packets);
  const std::vector<float> reference(mix.begin() + static_cast<std::ptrdiff_t>(2 * zero), mix.end());
  double worstAtJoin = 1e9;
  for (size_t block = join - 4096; block < std::min(join + 4096, clipFrames - 1024); block += 1024) {
    worstAtJoin = std::min(worstAtJoin, SnrDb(reference, clip, block, block + 1024));
  }
  std::printf("  encoded while recording: running mix %.3f CPU s (%.2f %% of a core), the save's tail %.3f CPU s; "
              "clip SNR %.2f dB, worst block within 4 frames of the join %.2f dB\n",
              liveCpu, 100.0 * liveCpu / seconds, tailCpu, SnrDb(reference, clip, 4800, clipFrames - 4800), worstAtJoin);
  return 0;
}
