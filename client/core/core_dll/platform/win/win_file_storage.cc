// IFileStorage on Windows: wide long paths ("\\?\"), spill files created
// with an owner-only DACL and FILE_FLAG_DELETE_ON_CLOSE, so the system
// removes them when the process ends however it ends.
#include <windows.h>
#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>

#include "platform/win/win_backend.h"
#include "platform/win/win_com.h"

namespace ostrel::win {
namespace {

Hresult LastError() { return static_cast<Hresult>(HRESULT_FROM_WIN32(GetLastError())); }

// The path in the form that takes any length: "\\?\C:\..." or
// "\\?\UNC\server\share\...", separators as "\". Relative paths and paths
// already in that form are left as they are.
std::wstring LongPath(std::wstring path) {
  for (wchar_t& c : path) {
    if (c == L'/') c = L'\\';
  }
  if (path.rfind(L"\\\\?\\", 0) == 0) return path;
  if (path.rfind(L"\\\\", 0) == 0) return L"\\\\?\\UNC\\" + path.substr(2);
  if (path.size() >= 3 && path[1] == L':' && path[2] == L'\\') return L"\\\\?\\" + path;
  return path;
}

// Where the first component after the root begins (drive or share).
size_t RootLength(const std::wstring& path) {
  if (path.rfind(L"\\\\?\\UNC\\", 0) == 0) {
    size_t server = path.find(L'\\', 8);
    if (server == std::wstring::npos) return path.size();
    size_t share = path.find(L'\\', server + 1);
    return share == std::wstring::npos ? path.size() : share + 1;
  }
  if (path.rfind(L"\\\\?\\", 0) == 0) return path.size() >= 7 ? 7 : path.size();
  return 0;
}

std::wstring Join(const std::wstring& folder, const std::wstring& name) {
  if (!folder.empty() && folder.back() != L'\\') return folder + L"\\" + name;
  return folder + name;
}

// A security descriptor whose DACL lets only the process's user in.
class OwnerOnlyDescriptor {
 public:
  OwnerOnlyDescriptor() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
      status_ = LastError();
      return;
    }
    ScopedHandle tokenOwner(token);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::string buffer(size, '\0');
    if (size == 0 || !GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
      status_ = LastError();
      return;
    }
    wchar_t* sid = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid)) {
      status_ = LastError();
      return;
    }
    const std::wstring sddl = L"D:P(A;;FA;;;" + std::wstring(sid) + L")";
    LocalFree(sid);
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor_,
                                                              nullptr)) {
      status_ = LastError();
      descriptor_ = nullptr;
    }
  }
  ~OwnerOnlyDescriptor() {
    if (descriptor_ != nullptr) LocalFree(descriptor_);
  }
  OwnerOnlyDescriptor(const OwnerOnlyDescriptor&) = delete;
  OwnerOnlyDescriptor& operator=(const OwnerOnlyDescriptor&) = delete;
  Hresult Status() const { return descriptor_ != nullptr ? hr::kOk : status_; }
  PSECURITY_DESCRIPTOR Get() const { return descriptor_; }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
  Hresult status_ = hr::kFail;
};

class WinSpillFile final : public platform::ISpillFile {
 public:
  explicit WinSpillFile(HANDLE file) : file_(file) {}

  // A synchronous transfer at `position` (the handle has no file pointer of
  // ours to keep: every call names its offset).
  static OVERLAPPED At(uint64_t position) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(position);
    at.OffsetHigh = static_cast<DWORD>(position >> 32);
    return at;
  }

  // Written at the end this object keeps: a failed write is overwritten by
  // the next one and never read.
  Hresult Append(const uint8_t* data, size_t size, uint64_t* offset) override {
    size_t done = 0;
    while (done < size) {
      const DWORD piece = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
      OVERLAPPED at = At(end_ + done);
      DWORD written = 0;
      if (!WriteFile(file_.get(), data + done, piece, &written, &at)) return LastError();
      if (written == 0) return hr::kDiskFull;
      done += written;
    }
    *offset = end_;
    end_ += size;
    return hr::kOk;
  }

  Hresult ReadAt(uint64_t offset, uint8_t* data, size_t size) override {
    size_t done = 0;
    while (done < size) {
      const DWORD piece = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
      OVERLAPPED at = At(offset + done);
      DWORD read = 0;
      if (!ReadFile(file_.get(), data + done, piece, &read, &at)) return LastError();
      if (read == 0) return hr::kHandleEof;
      done += read;
    }
    return hr::kOk;
  }

 private:
  ScopedHandle file_;
  uint64_t end_ = 0;  // the appending thread's only
};

class WinFileStorage final : public platform::IFileStorage {
 public:
  Hresult PrepareFolder(const std::wstring& folder, std::wstring* reason) override {
    if (folder.empty()) {
      *reason = L"no folder named";
      return hr::kInvalidArg;
    }
    const std::wstring path = LongPath(folder);
    // Each missing component in turn.
    for (size_t at = path.find(L'\\', RootLength(path));; at = path.find(L'\\', at + 1)) {
      const std::wstring part = path.substr(0, at);
      if (part.size() > RootLength(path) && !CreateDirectoryW(part.c_str(), nullptr) &&
          GetLastError() != ERROR_ALREADY_EXISTS) {
        const Hresult status = LastError();
        *reason = L"cannot create " + part + L": " + HresultMessage(status);
        return status;
      }
      if (at == std::wstring::npos) break;
    }
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
      *reason = L"not a folder";
      return static_cast<Hresult>(HRESULT_FROM_WIN32(ERROR_DIRECTORY));
    }
    std::unique_ptr<platform::ISpillFile> probe;
    if (const Hresult created = CreateSpillFile(folder, &probe); Failed(created)) {
      *reason = L"cannot create a file in it: " + HresultMessage(created);
      return created;
    }
    return hr::kOk;
  }

  size_t RemoveLeftovers(const std::wstring& folder) override {
    const std::wstring path = LongPath(folder);
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW(Join(path, std::wstring(platform::kSpillFilePrefix) + L"*.tmp").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return 0;
    size_t removed = 0;
    do {
      // A file another process still has open (delete-on-close, no
      // sharing) refuses; only what a dead process left goes.
      if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && DeleteFileW(Join(path, found.cFileName).c_str())) {
        ++removed;
      }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return removed;
  }

  Hresult CreateSpillFile(const std::wstring& folder, std::unique_ptr<platform::ISpillFile>* file) override {
    static std::atomic<uint64_t> counter{0};
    OwnerOnlyDescriptor descriptor;
    if (Failed(descriptor.Status())) return descriptor.Status();
    SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), descriptor.Get(), FALSE};
    const std::wstring path = LongPath(folder);
    for (int attempt = 0; attempt < 16; ++attempt) {
      const std::wstring name = std::wstring(platform::kSpillFilePrefix) + std::to_wstring(GetCurrentProcessId()) +
                                L"-" + std::to_wstring(counter.fetch_add(1)) + L".tmp";
      HANDLE created = CreateFileW(Join(path, name).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, &security,
                                   CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
      if (created == INVALID_HANDLE_VALUE) {
        if (GetLastError() == ERROR_FILE_EXISTS) continue;
        return LastError();
      }
      try {
        *file = std::make_unique<WinSpillFile>(created);
      } catch (...) {
        CloseHandle(created);
        throw;
      }
      return hr::kOk;
    }
    return hr::kFail;
  }
};

}  // namespace

platform::IFileStorage& FileStorage() {
  static WinFileStorage storage;
  return storage;
}

}  // namespace ostrel::win
