#include "save/output_guard.h"

namespace ostrel {

void OutputGuard::Finish() {
  if (context == nullptr) return;
  if (headerWritten) {
    av_write_trailer(context);
    headerWritten = false;
  }
  if (context->pb != nullptr && (context->oformat == nullptr || !(context->oformat->flags & AVFMT_NOFILE))) {
    avio_closep(&context->pb);
  }
  avformat_free_context(context);
  context = nullptr;
}

}  // namespace ostrel
