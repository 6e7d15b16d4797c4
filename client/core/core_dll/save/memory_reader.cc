#include "save/memory_reader.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace ostrel {

MemoryReader::MemoryReader(SharedBytes bytes) : bytes_(std::move(bytes)) {
  auto* buffer = static_cast<uint8_t*>(av_malloc(kBufferSize));
  if (buffer == nullptr) throw std::bad_alloc();
  AVIOContext* io = avio_alloc_context(buffer, kBufferSize, 0, this, &MemoryReader::Read, nullptr,
                                       &MemoryReader::Seek);
  if (io == nullptr) {
    av_free(buffer);
    throw std::bad_alloc();
  }
  io_.reset(io);
}

int MemoryReader::Read(void* opaque, uint8_t* buffer, int size) {
  auto* self = static_cast<MemoryReader*>(opaque);
  uint64_t total = self->Size();
  if (self->position_ >= total || size <= 0) return AVERROR_EOF;
  uint64_t count = std::min<uint64_t>(static_cast<uint64_t>(size), total - self->position_);
  std::memcpy(buffer, self->bytes_->data() + self->position_, count);
  self->position_ += count;
  return static_cast<int>(count);
}

int64_t MemoryReader::Seek(void* opaque, int64_t offset, int whence) {
  auto* self = static_cast<MemoryReader*>(opaque);
  auto size = static_cast<int64_t>(self->Size());
  if (whence == AVSEEK_SIZE) return size;
  int64_t target;
  switch (whence) {
    case SEEK_SET: target = offset; break;
    case SEEK_CUR: target = static_cast<int64_t>(self->position_) + offset; break;
    case SEEK_END: target = size + offset; break;
    default: return -1;
  }
  if (target < 0) return -1;
  self->position_ = static_cast<uint64_t>(target);
  return target;
}

bool MemoryInput::Open(SharedBytes bytes) {
  Close();
  reader_ = std::make_unique<MemoryReader>(std::move(bytes));
  AVFormatContext* context = avformat_alloc_context();
  if (context == nullptr) throw std::bad_alloc();
  context->pb = reader_->Io();
  context->flags |= AVFMT_FLAG_CUSTOM_IO;
  // Segments are always MP4: naming the demuxer skips probing every format
  // on every segment of a long save.
  static const AVInputFormat* const mp4 = av_find_input_format("mp4");
  // On failure FFmpeg frees the context itself.
  if (avformat_open_input(&context, nullptr, mp4, nullptr) < 0) {
    reader_.reset();
    return false;
  }
  input_.reset(context);
  return true;
}

void MemoryInput::Close() {
  input_.reset();
  reader_.reset();
}

}  // namespace ostrel
