#include "save/aac_encoder.h"

#include <new>
#include <stdexcept>
#include <utility>

extern "C" {
#include <libavutil/channel_layout.h>
}


namespace ostrel {

AacEncoder::AacEncoder(AVFormatContext* output, unsigned streamIndex, const SaveSeam& seam)
    : output_(output), streamIndex_(streamIndex), seam_(&seam) {
  Open();
}

AacEncoder::AacEncoder(PacketSink sink, uint64_t firstSample, const SaveSeam& seam)
    : seam_(&seam), sink_(std::move(sink)), nextPts_(firstSample) {
  Open();
}

AacEncoder::~AacEncoder() {
  // Not through the sink or into the clip: the owner may be going too.
  if (avcodec_send_frame(codec_.get(), nullptr) < 0) return;  // flushed already
  while (avcodec_receive_packet(codec_.get(), packet_.get()) == 0) av_packet_unref(packet_.get());
}

void AacEncoder::Open() {
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
  if (codec == nullptr) throw std::runtime_error("avcodec_open2 failed for aac encoder");
  codec_.reset(avcodec_alloc_context3(codec));
  if (!codec_) throw std::bad_alloc();
  codec_->sample_rate = kSampleRate;
  codec_->bit_rate = kBitRate;
  codec_->sample_fmt = AV_SAMPLE_FMT_FLTP;
  av_channel_layout_default(&codec_->ch_layout, 2);
  codec_->time_base = AVRational{1, kSampleRate};
  // A sink's packets go into an MP4 too, whose stream takes its decoder
  // configuration from the clip's own encoder.
  if (sink_ || (output_ != nullptr && output_->oformat != nullptr && (output_->oformat->flags & AVFMT_GLOBALHEADER))) {
    codec_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  if (seam_->Fails(SaveFault::kAacEncoderOpen, 0) ||
      avcodec_open2(codec_.get(), codec, nullptr) < 0) {
    throw std::runtime_error("avcodec_open2 failed for aac encoder");
  }
  frameSize_ = codec_->frame_size >= 1 ? static_cast<uint32_t>(codec_->frame_size) : 1024;
  packet_.reset(av_packet_alloc());
  if (!packet_) throw std::bad_alloc();
}

void AacEncoder::SetupStream(AVStream* stream) const {
  if (avcodec_parameters_from_context(stream->codecpar, codec_.get()) < 0) throw std::bad_alloc();
  stream->time_base = codec_->time_base;
}

void AacEncoder::Feed(const float* samples, size_t frames) {
  if (frames == 0) return;
  pending_.insert(pending_.end(), samples, samples + frames * 2);
  while (PendingFrames() >= frameSize_) EncodeFrame(frameSize_);
  pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(pendingStart_));
  pendingStart_ = 0;
}

void AacEncoder::EncodeFrame(uint32_t frames) {
  ffmpeg::FramePtr frame(av_frame_alloc());
  if (!frame) throw std::bad_alloc();
  frame->format = AV_SAMPLE_FMT_FLTP;
  frame->sample_rate = kSampleRate;
  frame->nb_samples = static_cast<int>(frames);
  if (av_channel_layout_copy(&frame->ch_layout, &codec_->ch_layout) < 0 || av_frame_get_buffer(frame.get(), 0) < 0) {
    throw std::bad_alloc();
  }
  auto* left = reinterpret_cast<float*>(frame->data[0]);
  auto* right = reinterpret_cast<float*>(frame->data[1]);
  const float* src = pending_.data() + pendingStart_;
  for (uint32_t i = 0; i < frames; ++i) {
    left[i] = src[2 * i];
    right[i] = src[2 * i + 1];
  }
  frame->pts = static_cast<int64_t>(nextPts_);
  avcodec_send_frame(codec_.get(), frame.get());  // a refused frame is lost
  pendingStart_ += static_cast<size_t>(frames) * 2;
  nextPts_ += frames;
  DrainPackets();
}

void AacEncoder::DrainPackets() {
  if (sink_) {
    while (avcodec_receive_packet(codec_.get(), packet_.get()) == 0) {
      sink_(packet_.get());
      av_packet_unref(packet_.get());
    }
    return;
  }
  AVRational streamBase = output_->streams[streamIndex_]->time_base;
  while (avcodec_receive_packet(codec_.get(), packet_.get()) == 0) {
    av_packet_rescale_ts(packet_.get(), codec_->time_base, streamBase);
    packet_->stream_index = static_cast<int>(streamIndex_);
    av_interleaved_write_frame(output_, packet_.get());  // a refused packet is lost
    av_packet_unref(packet_.get());
  }
}

void AacEncoder::Flush() {
  size_t rest = PendingFrames();
  if (rest > 0) EncodeFrame(static_cast<uint32_t>(rest));
  pending_.clear();
  pendingStart_ = 0;
  avcodec_send_frame(codec_.get(), nullptr);
  DrainPackets();
}

}  // namespace ostrel
