// Owning pointers for FFmpeg objects: each one frees its object with the
// matching FFmpeg free function, also when a constructor throws half-way.
#pragma once

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/buffer.h>
#include <libavutil/dict.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

namespace ostrel::ffmpeg {

struct CodecContextDeleter {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct FrameDeleter {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
struct PacketDeleter {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};
// A muxer context (avformat_alloc_output_context2). Its custom I/O context is
// owned separately (AvioContextPtr) and must outlive it.
struct OutputFormatContextDeleter {
  void operator()(AVFormatContext* context) const { avformat_free_context(context); }
};
// A demuxer context opened with avformat_open_input.
struct InputFormatContextDeleter {
  void operator()(AVFormatContext* context) const { avformat_close_input(&context); }
};
// A custom I/O context from avio_alloc_context. FFmpeg may have replaced the
// buffer it was given, so the context's current buffer is the one freed.
struct AvioContextDeleter {
  void operator()(AVIOContext* context) const {
    if (context == nullptr) return;
    av_freep(&context->buffer);
    avio_context_free(&context);
  }
};
struct DictionaryDeleter {
  void operator()(AVDictionary* dictionary) const { av_dict_free(&dictionary); }
};
// Memory from av_malloc.
struct AvFreeDeleter {
  void operator()(void* memory) const { av_free(memory); }
};
struct SwsContextDeleter {
  void operator()(SwsContext* context) const { sws_freeContext(context); }
};
// A reference to a buffer (hardware device and frames contexts).
struct BufferRefDeleter {
  void operator()(AVBufferRef* buffer) const { av_buffer_unref(&buffer); }
};
struct SwrContextDeleter {
  void operator()(SwrContext* context) const { swr_free(&context); }
};

using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;
using OutputFormatContextPtr = std::unique_ptr<AVFormatContext, OutputFormatContextDeleter>;
using InputFormatContextPtr = std::unique_ptr<AVFormatContext, InputFormatContextDeleter>;
using AvioContextPtr = std::unique_ptr<AVIOContext, AvioContextDeleter>;
using DictionaryPtr = std::unique_ptr<AVDictionary, DictionaryDeleter>;
using AvBufferPtr = std::unique_ptr<uint8_t, AvFreeDeleter>;
using SwsContextPtr = std::unique_ptr<SwsContext, SwsContextDeleter>;
using SwrContextPtr = std::unique_ptr<SwrContext, SwrContextDeleter>;
using BufferRefPtr = std::unique_ptr<AVBufferRef, BufferRefDeleter>;

// av_dict_set on an owned dictionary (which may be empty); AVDictionary**
// semantics without giving up ownership.
inline int DictSet(DictionaryPtr& dictionary, const char* key, const char* value) {
  AVDictionary* raw = dictionary.release();
  int result = av_dict_set(&raw, key, value, 0);
  dictionary.reset(raw);
  return result;
}

}  // namespace ostrel::ffmpeg
