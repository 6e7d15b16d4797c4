// Would a lossless form pay for the audio rings? The rings hold each
// source's raw PCM in 2 s chunks (48 kHz stereo float32 from a mix format,
// int16 when the device gives int16): 23 MB per source for 60 s. This
// encodes test signals chunk by chunk, each chunk with its own encoder and
// decoder (the ring evicts old chunks, so no chunk may lean on another),
// through FFmpeg's lossless encoders for the format: WavPack for float32,
// FLAC and WavPack for int16. Per signal and codec it prints the compressed
// size as % of the raw bytes, the encoder's CPU seconds per second of audio
// of one stereo source (what recording would add), the wall time to decode
// the whole span (what the slow save path would add) and whether the round
// trip gave back the very same bytes. Last, what a 60 s replay with a
// music-like desktop and a quiet microphone would keep in memory.
// CPU and wall times are of a machine shared with other work: noisy.
//
// usage: audio_ring_codec_bench [seconds=60]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/samplefmt.h>
}

#include "ffmpeg/ffmpeg_ptr.h"
#include "platform/sim/sim_audio_world.h"
#include "process_readings.h"

namespace {

using ostrel::ffmpeg::CodecContextPtr;
using ostrel::ffmpeg::FramePtr;
using ostrel::ffmpeg::PacketPtr;

constexpr int kRate = 48000;
constexpr int kChunkFrames = 2 * kRate;
constexpr double kPi2 = 2 * std::numbers::pi;

struct Lcg {  // a fixed noise, the same on every run
  uint32_t seed;
  double Uniform() { return static_cast<double>((seed = seed * 1664525u + 1013904223u) >> 8) / 16777216.0 - 0.5; }
  double Gaussian() { return (Uniform() + Uniform() + Uniform() + Uniform()) * std::sqrt(3.0); }  // unit variance
};

// Chords of three notes with five harmonics each, struck on every 0.6 s beat
// and changing every four beats, panned apart, over a bass line, with a
// noise "hi-hat" on the off-beats and a noise floor near -54 dBFS.
std::vector<float> MusicLike(size_t frames) {
  static const double kChords[4][3] = {
      {261.6, 329.6, 392.0}, {220.0, 261.6, 329.6}, {174.6, 220.0, 261.6}, {196.0, 246.9, 293.7}};
  std::vector<float> out(2 * frames);
  Lcg noise{7};
  for (size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / kRate, beat = std::fmod(t, 0.6);
    const auto& chord = kChords[static_cast<size_t>(t / 2.4) % 4];
    const double strike = std::exp(-3 * beat);
    double left = 0, right = 0;
    for (int n = 0; n < 3; ++n) {
      double note = 0;
      for (int h = 1; h <= 5; ++h) note += std::sin(kPi2 * chord[n] * h * t) / h;
      left += 0.07 * strike * note * (1.0 - 0.3 * n);
      right += 0.07 * strike * note * (0.4 + 0.3 * n);
    }
    const double bass = 0.15 * std::sin(kPi2 * chord[0] / 2 * t) * (0.6 + 0.4 * std::exp(-2 * beat));
    const double hat =
        std::fmod(t + 0.3, 0.6) < 0.05 ? 0.05 * noise.Uniform() * std::exp(-60 * std::fmod(t + 0.3, 0.6)) : 0;
    out[2 * i] = static_cast<float>(left + bass + hat + 0.002 * noise.Gaussian());
    out[2 * i + 1] = static_cast<float>(right + bass - hat + 0.002 * noise.Gaussian());
  }
  return out;
}

// The fake world's default desktop endpoint signal (a steady tone, the same
// on every channel), taken from the sim's own settings.
std::vector<float> SimDesktop(size_t frames) {
  auto& world = ostrel::sim::SimAudioWorld::Get();
  const auto endpoint = world.Default(ostrel::platform::DataFlow::Render);
  const ostrel::sim::SimAudioSignal signal = endpoint ? world.Signal(*endpoint) : ostrel::sim::SimAudioSignal{};
  std::vector<float> out(2 * frames);
  for (size_t i = 0; i < frames; ++i) {
    const double value =
        signal.kind == 1 ? signal.amplitude * std::sin(kPi2 * signal.frequencyHz * static_cast<double>(i) / kRate) : 0;
    out[2 * i] = out[2 * i + 1] = static_cast<float>(std::clamp(value, -1.0, 1.0));
  }
  return out;
}

// A quiet microphone: a -60 dBFS noise floor (independent per channel, the
// harder case) and, every 7 s, a voiced burst of 1 to 2.5 s: a gliding
// 100-150 Hz pitch with twelve harmonics under two moving formants and a
// 4 Hz syllable envelope, peaking near -12 dBFS.
std::vector<float> QuietMic(size_t frames) {
  std::vector<float> out(2 * frames);
  Lcg noise{11};
  double phase = 0;
  for (size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / kRate, inBurst = std::fmod(t, 7.0) - 3.0;
    const double length = 1.0 + 0.5 * static_cast<double>(static_cast<int>(t / 7.0) % 4);
    double voice = 0;
    const double f0 = 125 + 25 * std::sin(kPi2 * 0.7 * t);
    phase = std::fmod(phase + f0 / kRate, 1.0);
    if (inBurst >= 0 && inBurst < length) {
      const double syllable = std::pow(std::sin(std::numbers::pi * 4 * inBurst), 2);
      const double formant1 = 600 + 200 * std::sin(kPi2 * 3 * t), formant2 = 1400 + 400 * std::sin(kPi2 * 2.3 * t);
      for (int h = 1; h <= 12; ++h) {
        const double f = f0 * h;
        const double weight =
            std::exp(-std::pow((f - formant1) / 250, 2)) + 0.5 * std::exp(-std::pow((f - formant2) / 300, 2));
        voice += (0.2 / h + weight) * std::sin(kPi2 * phase * h);
      }
      voice *= 0.04 * syllable;
    }
    out[2 * i] = static_cast<float>(voice + 0.001 * noise.Gaussian());
    out[2 * i + 1] = static_cast<float>(voice + 0.001 * noise.Gaussian());
  }
  return out;
}

// float -> int16 as an int16 device would deliver the same sound.
std::vector<int16_t> ToS16(const std::vector<float>& in) {
  std::vector<int16_t> out(in.size());
  for (size_t i = 0; i < in.size(); ++i)
    out[i] = static_cast<int16_t>(std::lround(std::clamp(static_cast<double>(in[i]), -1.0, 1.0) * 32767.0));
  return out;
}

struct Codec {
  const char* name;
  AVCodecID id;
  AVSampleFormat input;  // what the encoder is fed
  int level;             // FF_COMPRESSION_DEFAULT: the encoder's own choice
};

struct Result {
  size_t bytes = 0;
  double encodeCpu = 0, decodeWall = 0;
  std::string check;
};

// Interleaved chunk -> the encoder's layout, planar or not.
void Fill(AVFrame* frame, const uint8_t* interleaved, int sampleBytes) {
  if (!av_sample_fmt_is_planar(static_cast<AVSampleFormat>(frame->format))) {
    std::memcpy(frame->data[0], interleaved, static_cast<size_t>(frame->nb_samples) * 2 * sampleBytes);
    return;
  }
  for (int i = 0; i < frame->nb_samples; ++i)
    for (int c = 0; c < 2; ++c)
      std::memcpy(frame->extended_data[c] + i * sampleBytes, interleaved + (2 * i + c) * sampleBytes, sampleBytes);
}

// One chunk through a fresh encoder; its packets and the stream header the
// decoder needs (the same for every chunk of a format: stored once).
std::vector<PacketPtr> EncodeChunk(const Codec& codec, const uint8_t* samples, int frames,
                                   std::vector<uint8_t>& header) {
  const AVCodec* encoder = avcodec_find_encoder(codec.id);
  CodecContextPtr c(avcodec_alloc_context3(encoder));
  c->sample_rate = kRate;
  c->sample_fmt = codec.input;
  c->compression_level = codec.level;
  av_channel_layout_default(&c->ch_layout, 2);
  c->time_base = {1, kRate};
  if (avcodec_open2(c.get(), encoder, nullptr) < 0) std::exit(1);
  header.assign(c->extradata, c->extradata + c->extradata_size);
  const int sampleBytes = av_get_bytes_per_sample(codec.input);
  std::vector<PacketPtr> packets;
  PacketPtr packet(av_packet_alloc());
  auto drain = [&] {
    while (avcodec_receive_packet(c.get(), packet.get()) == 0) {
      if (packet->size > 0) packets.emplace_back(av_packet_clone(packet.get()));
      av_packet_unref(packet.get());
    }
  };
  for (int at = 0; at < frames; at += c->frame_size) {
    FramePtr frame(av_frame_alloc());
    frame->format = codec.input;
    frame->sample_rate = kRate;
    frame->nb_samples = std::min(c->frame_size, frames - at);
    av_channel_layout_copy(&frame->ch_layout, &c->ch_layout);
    if (av_frame_get_buffer(frame.get(), 0) < 0) std::exit(1);
    Fill(frame.get(), samples + static_cast<size_t>(at) * 2 * sampleBytes, sampleBytes);
    frame->pts = at;
    avcodec_send_frame(c.get(), frame.get());
    drain();
  }
  avcodec_send_frame(c.get(), nullptr);
  drain();
  return packets;
}

// One chunk through a fresh decoder, back to interleaved samples of the
// decoder's own sample size (compared with the input by the caller).
std::vector<uint8_t> DecodeChunk(AVCodecID id, const std::vector<PacketPtr>& packets,
                                 const std::vector<uint8_t>& header) {
  const AVCodec* decoder = avcodec_find_decoder(id);
  CodecContextPtr d(avcodec_alloc_context3(decoder));
  d->sample_rate = kRate;
  av_channel_layout_default(&d->ch_layout, 2);
  if (!header.empty()) {
    d->extradata = static_cast<uint8_t*>(av_mallocz(header.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    std::memcpy(d->extradata, header.data(), header.size());
    d->extradata_size = static_cast<int>(header.size());
  }
  if (avcodec_open2(d.get(), decoder, nullptr) < 0) std::exit(1);
  std::vector<uint8_t> out;
  FramePtr frame(av_frame_alloc());
  auto drain = [&] {
    while (avcodec_receive_frame(d.get(), frame.get()) == 0) {
      const auto format = static_cast<AVSampleFormat>(frame->format);
      const int bytes = av_get_bytes_per_sample(format), channels = frame->ch_layout.nb_channels;
      const bool planar = av_sample_fmt_is_planar(format);
      for (int i = 0; i < frame->nb_samples; ++i)
        for (int c = 0; c < channels; ++c) {
          const uint8_t* at =
              planar ? frame->extended_data[c] + i * bytes : frame->data[0] + (i * channels + c) * bytes;
          out.insert(out.end(), at, at + bytes);
        }
      av_frame_unref(frame.get());
    }
  };
  for (const auto& packet : packets) {
    avcodec_send_packet(d.get(), packet.get());
    drain();
  }
  avcodec_send_packet(d.get(), nullptr);
  drain();
  return out;
}

template <class T>
double SampleAt(const uint8_t* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return static_cast<double>(value);
}

// "exact" or where the first difference lies.
std::string Compare(const uint8_t* want, const std::vector<uint8_t>& got, size_t wantBytes, int sampleBytes,
                    size_t chunk) {
  char text[160];
  if (got.size() != wantBytes) {
    std::snprintf(text, sizeof text, "chunk %zu: %zu bytes back, %zu in", chunk, got.size(), wantBytes);
    return text;
  }
  const auto diff = std::mismatch(want, want + wantBytes, got.begin());
  if (diff.first == want + wantBytes) return "exact";
  const size_t sample = static_cast<size_t>(diff.first - want) / sampleBytes;
  auto value = [&](const uint8_t* at) { return sampleBytes == 4 ? SampleAt<float>(at) : SampleAt<int16_t>(at); };
  std::snprintf(text, sizeof text, "chunk %zu frame %zu ch %zu: %.9g in, %.9g back", chunk, sample / 2, sample % 2,
                value(want + sample * sampleBytes), value(got.data() + sample * sampleBytes));
  return text;
}

Result Run(const Codec& codec, const uint8_t* samples, size_t frames) {
  const int sampleBytes = av_get_bytes_per_sample(codec.input);
  Result result;
  std::vector<std::vector<PacketPtr>> chunks;
  std::vector<uint8_t> header;
  const double cpu = bench::CpuSeconds(RUSAGE_THREAD);
  for (size_t at = 0; at < frames; at += kChunkFrames)
    chunks.push_back(EncodeChunk(codec, samples + at * 2 * sampleBytes,
                                 static_cast<int>(std::min<size_t>(kChunkFrames, frames - at)), header));
  result.encodeCpu = bench::CpuSeconds(RUSAGE_THREAD) - cpu;
  for (const auto& chunk : chunks)
    for (const auto& packet : chunk) result.bytes += static_cast<size_t>(packet->size);
  result.check = "exact";
  for (size_t i = 0; i < chunks.size(); ++i) {
    const auto begin = std::chrono::steady_clock::now();
    const std::vector<uint8_t> decoded = DecodeChunk(codec.id, chunks[i], header);
    result.decodeWall += std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    const size_t first = i * kChunkFrames, count = std::min<size_t>(kChunkFrames, frames - first);
    if (result.check == "exact")
      result.check = Compare(samples + first * 2 * sampleBytes, decoded, count * 2 * sampleBytes, sampleBytes, i);
  }
  return result;
}

// Whether this FFmpeg's encoder takes the format (its sample_fmts list).
bool Accepts(AVCodecID id, AVSampleFormat format, bool print = false) {
  const AVCodec* codec = avcodec_find_encoder(id);
  bool found = false;
  if (print) std::printf("%s encoder takes:", avcodec_get_name(id));
  for (const AVSampleFormat* f = codec ? codec->sample_fmts : nullptr; f && *f != AV_SAMPLE_FMT_NONE; ++f) {
    if (print) std::printf(" %s", av_get_sample_fmt_name(*f));
    found = found || *f == format;
  }
  if (print) std::printf("\n");
  return found;
}

}  // namespace

int main(int argc, char** argv) {
  av_log_set_level(AV_LOG_ERROR);
  const int seconds = argc > 1 ? std::max(2, std::atoi(argv[1])) : 60;
  const size_t frames = static_cast<size_t>(seconds) * kRate;
  for (AVCodecID id : {AV_CODEC_ID_WAVPACK, AV_CODEC_ID_FLAC}) Accepts(id, AV_SAMPLE_FMT_NONE, true);
  // WavPack's default is its fastest setting (the same bytes as level 0);
  // level 2 shows what more effort buys.
  const Codec codecs[] = {
      {"wavpack flt default", AV_CODEC_ID_WAVPACK, AV_SAMPLE_FMT_FLTP, FF_COMPRESSION_DEFAULT},
      {"wavpack flt level 2", AV_CODEC_ID_WAVPACK, AV_SAMPLE_FMT_FLTP, 2},
      {"flac s16 level 0", AV_CODEC_ID_FLAC, AV_SAMPLE_FMT_S16, 0},
      {"flac s16 level 5", AV_CODEC_ID_FLAC, AV_SAMPLE_FMT_S16, 5},
      {"wavpack s16 default", AV_CODEC_ID_WAVPACK, AV_SAMPLE_FMT_S16P, FF_COMPRESSION_DEFAULT},
  };
  const std::pair<const char*, std::vector<float>> signals[] = {
      {"music-like mix", MusicLike(frames)},
      {"sim desktop tone", SimDesktop(frames)},
      {"quiet microphone", QuietMic(frames)},
      {"digital silence", std::vector<float>(2 * frames, 0.0f)}};
  std::printf(
      "%d s, 48 kHz stereo, %d s chunks each encoded and decoded on its own; CPU and wall times are "
      "noisy (shared machine)\n",
      seconds, kChunkFrames / kRate);
  std::printf("%-17s %-20s %8s %14s %12s  %s\n", "signal", "codec", "size %", "enc CPU ms/s", "dec wall s",
              "round trip");
  constexpr size_t kCodecs = std::size(codecs);
  Result results[std::size(signals)][kCodecs];
  for (size_t s = 0; s < std::size(signals); ++s) {
    const std::vector<int16_t> s16 = ToS16(signals[s].second);
    for (size_t k = 0; k < kCodecs; ++k) {
      const Codec& codec = codecs[k];
      if (!Accepts(codec.id, codec.input)) {
        std::printf("%-17s %-20s not accepted by this FFmpeg\n", signals[s].first, codec.name);
        continue;
      }
      const bool isFloat = codec.input == AV_SAMPLE_FMT_FLTP;
      const auto* raw = isFloat ? reinterpret_cast<const uint8_t*>(signals[s].second.data())
                                : reinterpret_cast<const uint8_t*>(s16.data());
      const Result& r = results[s][k] = Run(codec, raw, frames);
      std::printf("%-17s %-20s %7.2f%% %14.2f %12.3f  %s\n", signals[s].first, codec.name,
                  100.0 * static_cast<double>(r.bytes) / static_cast<double>(frames * 2 * (isFloat ? 4 : 2)),
                  1000 * r.encodeCpu / seconds, r.decodeWall, r.check.c_str());
    }
  }
  // A 60 s replay of both sources: the music-like mix on the desktop and the
  // quiet microphone (figures of a shorter run scaled up).
  std::printf("60 s replay, desktop music-like + quiet microphone:\n");
  for (size_t k = 0; k < kCodecs; ++k) {
    const Result &desktop = results[0][k], &mic = results[2][k];
    const double scale = 60.0 / seconds, raw = 2 * 60.0 * kRate * 2 * av_get_bytes_per_sample(codecs[k].input) / 1e6;
    const double kept = scale * static_cast<double>(desktop.bytes + mic.bytes) / 1e6;
    std::printf(
        "  %-20s raw %.2f MB -> %.2f MB, saves %.2f MB; encoding %.2f ms CPU per recorded second, "
        "decoding %.3f s more on the slow save\n",
        codecs[k].name, raw, kept, raw - kept, 1000 * (desktop.encodeCpu + mic.encodeCpu) / seconds,
        scale * (desktop.decodeWall + mic.decodeWall));
  }
  return 0;
}
