// Reading an in-memory MP4 (a segment's bytes) through FFmpeg's custom I/O.
#pragma once

#include <cstdint>

#include "ffmpeg/ffmpeg_ptr.h"
#include "replay/records.h"

namespace ostrel {

// Read-only custom input over one shared byte buffer. Holding the buffer's
// reference keeps the bytes alive while FFmpeg reads them, even after the
// snapshot that handed them over let go.
class MemoryReader {
 public:
  static constexpr int kBufferSize = 32768;

  // Throws std::bad_alloc when FFmpeg cannot allocate the I/O context.
  explicit MemoryReader(SharedBytes bytes);
  MemoryReader(const MemoryReader&) = delete;
  MemoryReader& operator=(const MemoryReader&) = delete;

  AVIOContext* Io() const { return io_.get(); }

  // The I/O callbacks (opaque = the reader).
  static int Read(void* opaque, uint8_t* buffer, int size);
  static int64_t Seek(void* opaque, int64_t offset, int whence);

 private:
  uint64_t Size() const { return bytes_ ? bytes_->size() : 0; }

  SharedBytes bytes_;
  uint64_t position_ = 0;
  ffmpeg::AvioContextPtr io_;
};

// A demuxer opened over a MemoryReader. The input is closed before the
// reader's I/O context is freed.
class MemoryInput {
 public:
  MemoryInput() = default;
  MemoryInput(const MemoryInput&) = delete;
  MemoryInput& operator=(const MemoryInput&) = delete;
  ~MemoryInput() { Close(); }

  // avformat_open_input of the MP4 demuxer, no URL or options; false on
  // failure.
  bool Open(SharedBytes bytes);
  void Close();
  AVFormatContext* Context() const { return input_.get(); }

 private:
  std::unique_ptr<MemoryReader> reader_;
  ffmpeg::InputFormatContextPtr input_;
};

}  // namespace ostrel
