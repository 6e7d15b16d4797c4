#include "platform/posix/posix_system.h"

#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <vector>

namespace ostrel::platform::posix {
namespace {

constexpr size_t kHashReadSize = 65536;

// RAII for a plain file descriptor.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// The same file, unchanged: same inode on the same device, and neither its
// size nor its modification or change time moved.
bool SameUnchangedFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size &&
         a.st_mtim.tv_sec == b.st_mtim.tv_sec && a.st_mtim.tv_nsec == b.st_mtim.tv_nsec &&
         a.st_ctim.tv_sec == b.st_ctim.tv_sec && a.st_ctim.tv_nsec == b.st_ctim.tv_nsec;
}

}  // namespace

std::string WideToUtf8(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (wchar_t wc : text) {
    auto c = static_cast<uint32_t>(wc);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::wstring Utf8ToWide(const std::string& text) {
  std::wstring out;
  size_t i = 0;
  while (i < text.size()) {
    auto b = static_cast<unsigned char>(text[i]);
    uint32_t c = 0xFFFD;
    size_t extra = 0;
    if (b < 0x80) {
      c = b;
    } else if ((b & 0xE0) == 0xC0) {
      c = b & 0x1F, extra = 1;
    } else if ((b & 0xF0) == 0xE0) {
      c = b & 0x0F, extra = 2;
    } else if ((b & 0xF8) == 0xF0) {
      c = b & 0x07, extra = 3;
    }
    if (i + extra >= text.size() && extra > 0) {  // truncated sequence
      out.push_back(L'\xFFFD');
      break;
    }
    bool valid = true;
    for (size_t k = 1; k <= extra; ++k) {
      auto cont = static_cast<unsigned char>(text[i + k]);
      if ((cont & 0xC0) != 0x80) {
        valid = false;
        break;
      }
      c = (c << 6) | (cont & 0x3F);
    }
    out.push_back(valid ? static_cast<wchar_t>(c) : L'\xFFFD');
    i += valid ? extra + 1 : 1;
  }
  return out;
}

int64_t PosixSystemServices::PerformanceCounter() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t PosixSystemServices::PerformanceFrequency() { return 1000000000; }

LocalTime PosixSystemServices::GetLocalTime() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  std::tm parts{};
  localtime_r(&ts.tv_sec, &parts);
  return LocalTime{static_cast<uint16_t>(parts.tm_year + 1900), static_cast<uint16_t>(parts.tm_mon + 1),
                   static_cast<uint16_t>(parts.tm_mday),        static_cast<uint16_t>(parts.tm_hour),
                   static_cast<uint16_t>(parts.tm_min),         static_cast<uint16_t>(parts.tm_sec),
                   static_cast<uint16_t>(ts.tv_nsec / 1000000)};
}

bool PosixSystemServices::CreateDirectory(const std::wstring& path) {
  return ::mkdir(WideToUtf8(path).c_str(), 0777) == 0;
}

std::optional<std::wstring> PosixSystemServices::GetEnvironmentVariable(const std::wstring& name,
                                                                        size_t capacity, size_t* length) {
  const char* value = std::getenv(WideToUtf8(name).c_str());
  if (value == nullptr) {
    if (length) *length = 0;
    return std::nullopt;
  }
  std::wstring wide = Utf8ToWide(value);
  // Like GetEnvironmentVariableW: a value that does not fit reports the size
  // it needs (including the terminator) and delivers nothing.
  if (wide.size() + 1 > capacity) {
    if (length) *length = wide.size() + 1;
    return std::wstring();
  }
  if (length) *length = wide.size();
  return wide;
}

bool PosixSystemServices::GetProcessMemory(ProcessMemory* out) {
  // Private bytes: anonymous resident memory plus swapped-out memory, the
  // closest Linux figure to Windows' commit charge of private pages.
  // Working set: the resident set size.
  std::ifstream status("/proc/self/status");
  if (!status) return false;
  uint64_t rssAnonKb = 0, swapKb = 0, rssKb = 0;
  bool haveRss = false;
  std::string line;
  while (std::getline(status, line)) {
    std::istringstream fields(line);
    std::string key;
    uint64_t value = 0;
    fields >> key >> value;
    if (key == "RssAnon:") rssAnonKb = value;
    if (key == "VmSwap:") swapKb = value;
    if (key == "VmRSS:") rssKb = value, haveRss = true;
  }
  if (!haveRss) return false;
  out->privateBytes = (rssAnonKb + swapKb) * 1024;
  out->workingSetBytes = rssKb * 1024;
  return true;
}

void PosixSystemServices::ReleaseFreeHeapMemory() {
#if defined(__GLIBC__)
  // Also returns the free pages inside every arena, not only the heap's top.
  malloc_trim(0);
#endif
}

void PosixSystemServices::ReturnLargeBlocksOnFree() {
#if defined(__GLIBC__)
  // Where Windows's heap hands blocks straight to the system (about 1 MB on
  // 64-bit): x264's pictures, segments, audio chunks; packets stay pooled.
  mallopt(M_MMAP_THRESHOLD, 1 << 20);
#endif
}

bool PosixSystemServices::HashFileSha256(const std::wstring& path, std::array<uint8_t, 32>* digest) {
  if (path.find(L'\0') != std::wstring::npos) return false;  // would silently name another file
  // Non-blocking open so a FIFO cannot stall us; only regular files are
  // hashed (a device such as /dev/zero would never end).
  const std::string utf8Path = WideToUtf8(path);
  FileDescriptor file(::open(utf8Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (file.get() < 0) return false;
  struct stat info {};
  if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  int flags = ::fcntl(file.get(), F_GETFL);
  if (flags < 0 || ::fcntl(file.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return false;
  crypto_hash_sha256_state state;
  crypto_hash_sha256_init(&state);
  std::vector<uint8_t> buffer(kHashReadSize);
  for (;;) {
    ssize_t got = ::read(file.get(), buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      return false;  // directories fail here with EISDIR
    }
    if (got == 0) break;
    crypto_hash_sha256_update(&state, buffer.data(), static_cast<unsigned long long>(got));
  }
  // The digest stands for the path only if the file there now is the one
  // hashed, untouched: a file renamed over it or written meanwhile fails.
  struct stat after {}, atPath {};
  if (::fstat(file.get(), &after) != 0 || ::stat(utf8Path.c_str(), &atPath) != 0) return false;
  if (!SameUnchangedFile(info, after) || !SameUnchangedFile(info, atPath)) return false;
  crypto_hash_sha256_final(&state, digest->data());
  return true;
}

std::string PosixSystemServices::PathToUtf8(const std::wstring& path) { return WideToUtf8(path); }

}  // namespace ostrel::platform::posix
