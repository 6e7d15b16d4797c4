#include "platform/posix/posix_file_storage.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <system_error>

#include "platform/posix/posix_system.h"

namespace ostrel::platform::posix {
namespace {

class PosixSpillFile final : public ISpillFile {
 public:
  explicit PosixSpillFile(int fd) : fd_(fd) {}
  ~PosixSpillFile() override { ::close(fd_); }
  PosixSpillFile(const PosixSpillFile&) = delete;
  PosixSpillFile& operator=(const PosixSpillFile&) = delete;

  // Written at the end this object keeps, so a failed write (partly done)
  // is overwritten by the next one and never read.
  Hresult Append(const uint8_t* data, size_t size, uint64_t* offset) override {
    size_t done = 0;
    while (done < size) {
      const ssize_t n = ::pwrite(fd_, data + done, size - done, static_cast<off_t>(end_ + done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return HresultFromErrno(errno);
      if (n == 0) return hr::kDiskFull;
      done += static_cast<size_t>(n);
    }
    *offset = end_;
    end_ += size;
    return hr::kOk;
  }

  Hresult ReadAt(uint64_t offset, uint8_t* data, size_t size) override {
    size_t done = 0;
    while (done < size) {
      const ssize_t n = ::pread(fd_, data + done, size - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return HresultFromErrno(errno);
      if (n == 0) return hr::kHandleEof;
      done += static_cast<size_t>(n);
    }
    return hr::kOk;
  }

 private:
  int fd_;
  uint64_t end_ = 0;  // the appending thread's only
};

std::string SpillPrefixUtf8() { return WideToUtf8(kSpillFilePrefix); }

std::string JoinUtf8(const std::wstring& folder, const std::string& name) {
  std::string path = WideToUtf8(folder);
  if (!path.empty() && path.back() != '/') path += '/';
  return path + name;
}

std::wstring ErrnoText(int error) { return Utf8ToWide(std::generic_category().message(error)); }

}  // namespace

Hresult HresultFromErrno(int error) {
  switch (error) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return hr::kDiskFull;
    case EACCES:
    case EPERM:
    case EROFS:
      return hr::kAccessDenied;
    case ENOENT:
    case ENOTDIR:
      return hr::kPathNotFound;
    case ENOMEM:
      return hr::kOutOfMemory;
    case EIO:
      return hr::kWriteFault;
    default:
      return hr::kFail;
  }
}

Hresult PosixFileStorage::PrepareFolder(const std::wstring& folder, std::wstring* reason) {
  const std::string path = WideToUtf8(folder);
  if (path.empty()) {
    *reason = L"no folder named";
    return hr::kInvalidArg;
  }
  // Each missing component in turn, like mkdir -p.
  for (size_t at = path.find('/', 1); ; at = path.find('/', at + 1)) {
    const std::string part = path.substr(0, at);
    if (!part.empty() && ::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) {
      const int error = errno;
      *reason = L"cannot create " + Utf8ToWide(part) + L": " + ErrnoText(error);
      return HresultFromErrno(error);
    }
    if (at == std::string::npos) break;
  }
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    *reason = L"not a folder";
    return hr::kPathNotFound;
  }
  std::unique_ptr<ISpillFile> probe;
  if (const Hresult created = CreateSpillFile(folder, &probe); Failed(created)) {
    *reason = L"cannot create a file in it: " + HresultMessage(created);
    return created;
  }
  return hr::kOk;
}

size_t PosixFileStorage::RemoveLeftovers(const std::wstring& folder) {
  const std::string path = WideToUtf8(folder);
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return 0;
  const std::string prefix = SpillPrefixUtf8();
  size_t removed = 0;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.rfind(prefix, 0) != 0 || name.size() < 4 || name.compare(name.size() - 4, 4, ".tmp") != 0) continue;
    if (::unlink(JoinUtf8(folder, name).c_str()) == 0) ++removed;
  }
  ::closedir(dir);
  return removed;
}

Hresult PosixFileStorage::CreateSpillFile(const std::wstring& folder, std::unique_ptr<ISpillFile>* file) {
  static std::atomic<uint64_t> counter{0};
  for (int attempt = 0; attempt < 16; ++attempt) {
    const std::string name = SpillPrefixUtf8() + std::to_string(::getpid()) + "-" +
                             std::to_string(counter.fetch_add(1)) + ".tmp";
    const std::string path = JoinUtf8(folder, name);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) return HresultFromErrno(errno);
    ::unlink(path.c_str());  // the bytes live as long as the descriptor
    try {
      *file = std::make_unique<PosixSpillFile>(fd);
    } catch (...) {
      ::close(fd);
      throw;
    }
    return hr::kOk;
  }
  return hr::kFail;
}

}  // namespace ostrel::platform::posix
