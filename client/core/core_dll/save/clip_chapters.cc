#include "save/clip_chapters.h"

#include <new>

namespace ostrel {

std::string WideToUtf8Text(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  auto put = [&out](uint32_t c) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | c >> 6);
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | c >> 12);
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | c >> 18);
      out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
      out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  };
  for (size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<uint32_t>(text[i]);
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
      const auto low = static_cast<uint32_t>(text[i + 1]);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        put(0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00));
        ++i;
        continue;
      }
    }
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = 0xFFFD;
    put(c);
  }
  return out;
}

std::vector<ClipChapter> ChaptersFor(const std::vector<Marker>& markers, int64_t clipStartTicks,
                                     int64_t clipLengthTicks) {
  std::vector<ClipChapter> chapters;
  for (const Marker& marker : markers) {
    const int64_t at = marker.ticks - clipStartTicks;
    if (at < 0 || at >= clipLengthTicks) continue;
    if (!chapters.empty()) chapters.back().endTicks = at;
    // An MP4 chapter track has no gap at its start (readers put its first
    // chapter at 0): an untitled one covers the time before the first marker.
    if (chapters.empty() && at > 0) chapters.push_back(ClipChapter{0, at, std::string()});
    chapters.push_back(ClipChapter{at, clipLengthTicks, WideToUtf8Text(marker.label)});
  }
  return chapters;
}

void AddChapters(AVFormatContext* output, const std::vector<ClipChapter>& chapters) {
  if (chapters.empty()) return;
  const size_t count = output->nb_chapters + chapters.size();
  auto** grown = static_cast<AVChapter**>(av_realloc_array(output->chapters, count, sizeof(AVChapter*)));
  if (grown == nullptr) throw std::bad_alloc();
  output->chapters = grown;
  for (size_t i = 0; i < chapters.size(); ++i) {
    auto* chapter = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
    if (chapter == nullptr) throw std::bad_alloc();
    // Counted at once: avformat_free_context frees it whatever comes next.
    output->chapters[output->nb_chapters++] = chapter;
    chapter->id = static_cast<int64_t>(output->nb_chapters);
    chapter->time_base = AVRational{1, 10000000};
    chapter->start = chapters[i].startTicks;
    chapter->end = chapters[i].endTicks;
    if (av_dict_set(&chapter->metadata, "title", chapters[i].titleUtf8.c_str(), 0) < 0) throw std::bad_alloc();
  }
}

}  // namespace ostrel
