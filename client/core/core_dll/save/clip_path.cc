#include "save/clip_path.h"

#include <cwchar>
#include <filesystem>

extern "C" {
#include <libavformat/avio.h>
}

#include "platform/platform.h"

namespace ostrel {
namespace {

constexpr unsigned kMaxCandidates = 10000;

}  // namespace

wchar_t PreferredPathSeparator() {
#ifdef _WIN32
  return L'\\';
#else
  return L'/';
#endif
}

std::wstring JoinClipPath(const std::wstring& folder, const std::wstring& name) {
  std::wstring path = folder;
  if (!path.empty() && path.back() != L'\\' && path.back() != L'/') path.push_back(PreferredPathSeparator());
  return path + name;
}

std::wstring ClipFileName(const platform::LocalTime& time, unsigned candidate) {
  wchar_t name[96];
  int written = std::swprintf(name, 96, L"clip_%04u-%02u-%02u_%02u-%02u-%02u", static_cast<unsigned>(time.year),
                              static_cast<unsigned>(time.month), static_cast<unsigned>(time.day),
                              static_cast<unsigned>(time.hour), static_cast<unsigned>(time.minute),
                              static_cast<unsigned>(time.second));
  std::wstring text(name, written > 0 ? static_cast<size_t>(written) : 0);
  if (candidate >= 2) text += L"_" + std::to_wstring(candidate);
  return text + L".mp4";
}

std::wstring UniqueClipPath(const std::wstring& folder, const platform::LocalTime& time,
                            const std::function<bool(const std::wstring& path)>& exists) {
  std::wstring path;
  for (unsigned candidate = 1; candidate <= kMaxCandidates; ++candidate) {
    path = JoinClipPath(folder, ClipFileName(time, candidate));
    if (!exists(path)) break;
  }
  return path;
}

bool IsRepresentablePath(const std::wstring& path) {
  for (size_t i = 0; i < path.size(); ++i) {
    const auto c = static_cast<uint32_t>(path[i]);
    if constexpr (sizeof(wchar_t) == 2) {
      if (c >= 0xDC00 && c <= 0xDFFF) return false;
      if (c >= 0xD800 && c <= 0xDBFF) {
        const bool paired = i + 1 < path.size() && static_cast<uint32_t>(path[i + 1]) >= 0xDC00 &&
                            static_cast<uint32_t>(path[i + 1]) <= 0xDFFF;
        if (!paired) return false;
        ++i;
      }
    } else if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
      return false;
    }
  }
  return true;
}

std::filesystem::path ToFilesystemPath(const std::wstring& path) {
#ifdef _WIN32
  return std::filesystem::path(path);
#else
  // A wide path would go through the "C" locale's converter, which refuses
  // every non-ASCII character whatever locale the host set; the UTF-32 one
  // always converts to UTF-8.
  return std::filesystem::path(std::u32string(path.begin(), path.end()));
#endif
}

std::wstring FromFilesystemPath(const std::filesystem::path& path) {
#ifdef _WIN32
  return path.wstring();
#else
  const std::u32string text = path.u32string();
  return std::wstring(text.begin(), text.end());
#endif
}

std::wstring AbsoluteFolder(const std::wstring& folder) {
  try {
    const std::filesystem::path path = ToFilesystemPath(folder);
    if (path.is_absolute()) return folder;
    std::error_code error;
    const std::filesystem::path absolute = std::filesystem::absolute(path, error);
    return error ? folder : FromFilesystemPath(absolute);
  } catch (const std::exception&) {
    return folder;  // a working folder that is not UTF-8: the save opens the name as given
  }
}

bool ClipPathExists(const std::wstring& path) {
  std::string utf8 = platform::GetPlatform().system.PathToUtf8(path);
  // 0 or more: it exists. Any error (no such file, or a folder that cannot
  // be looked into, which the open then reports) leaves the name free.
  return avio_check(utf8.c_str(), 0) >= 0;
}

}  // namespace ostrel
