#include "save/output_guard.h"

#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace ostrel {

std::string FfmpegErrorText(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

int OutputGuard::Open(const std::string& utf8Path) {
  utf8Path_ = utf8Path;
  const int result = seam_.OpenOutput(utf8Path, &context->pb);
  fileCreated_ = result >= 0;
  return result;
}

void OutputGuard::CheckWrites() const {
  if (context != nullptr && context->pb != nullptr && context->pb->error < 0) {
    throw std::runtime_error("write failed for output file (" + FfmpegErrorText(context->pb->error) + ")");
  }
}

void OutputGuard::Finish() {
  CheckWrites();
  const int trailer = av_write_trailer(context);
  headerWritten = false;
  if (trailer < 0) throw std::runtime_error("av_write_trailer failed (" + FfmpegErrorText(trailer) + ")");
  // The close forgets a failed last flush, so flush and look first.
  avio_flush(context->pb);
  CheckWrites();
  const int closed = seam_.CloseOutput(&context->pb);
  context->pb = nullptr;
  if (closed < 0) throw std::runtime_error("closing output file failed (" + FfmpegErrorText(closed) + ")");
  fileCreated_ = false;  // complete: it stays
  avformat_free_context(context);
  context = nullptr;
}

void OutputGuard::Abandon() {
  if (context == nullptr) return;
  if (context->pb != nullptr) seam_.CloseOutput(&context->pb);
  if (fileCreated_) {
    std::error_code ignored;
    std::filesystem::remove(std::filesystem::path(std::u8string(utf8Path_.begin(), utf8Path_.end())), ignored);
  }
  avformat_free_context(context);
  context = nullptr;
}

}  // namespace ostrel
