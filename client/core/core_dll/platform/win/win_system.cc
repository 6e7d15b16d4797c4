// ISystemServices on Windows: QPC, local time, folders, environment, process
// memory, CNG file hashing and UTF-16 to UTF-8 paths.
//
// Link: kernel32 (K32GetProcessMemoryInfo lives there since Windows 7),
// bcrypt.
#include <windows.h>
#include <bcrypt.h>
#include <psapi.h>

// The interface's method names, not the A/W macros of the same names.
#undef CreateDirectory
#undef GetEnvironmentVariable

#include <algorithm>
#include <limits>
#include <vector>

#include "platform/win/win_backend.h"
#include "platform/win/win_com.h"

namespace ostrel::win {
namespace {

constexpr DWORD kHashReadSize = 65536;

class BcryptAlgorithm {
 public:
  BcryptAlgorithm() = default;
  ~BcryptAlgorithm() {
    if (handle_ != nullptr) BCryptCloseAlgorithmProvider(handle_, 0);
  }
  BcryptAlgorithm(const BcryptAlgorithm&) = delete;
  BcryptAlgorithm& operator=(const BcryptAlgorithm&) = delete;
  BCRYPT_ALG_HANDLE* put() { return &handle_; }
  BCRYPT_ALG_HANDLE get() const { return handle_; }

 private:
  BCRYPT_ALG_HANDLE handle_ = nullptr;
};

class BcryptHash {
 public:
  BcryptHash() = default;
  ~BcryptHash() {
    if (handle_ != nullptr) BCryptDestroyHash(handle_);
  }
  BcryptHash(const BcryptHash&) = delete;
  BcryptHash& operator=(const BcryptHash&) = delete;
  BCRYPT_HASH_HANDLE* put() { return &handle_; }
  BCRYPT_HASH_HANDLE get() const { return handle_; }

 private:
  BCRYPT_HASH_HANDLE handle_ = nullptr;
};

bool NtSuccess(NTSTATUS status) { return status >= 0; }

// The file's identity (volume and index) with its size and last write.
bool FileIdentity(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
  return GetFileInformationByHandle(file, info) != 0;
}

bool SameUnchangedFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow && a.nFileSizeHigh == b.nFileSizeHigh &&
         a.nFileSizeLow == b.nFileSizeLow && a.ftLastWriteTime.dwLowDateTime == b.ftLastWriteTime.dwLowDateTime &&
         a.ftLastWriteTime.dwHighDateTime == b.ftLastWriteTime.dwHighDateTime;
}

// The extended counters the memory lines read; 80 bytes on x64.
static_assert(sizeof(PROCESS_MEMORY_COUNTERS_EX) == 80);

class WinSystemServices final : public platform::ISystemServices {
 public:
  int64_t PerformanceCounter() override {
    LARGE_INTEGER counter{};
    QueryPerformanceCounter(&counter);
    return counter.QuadPart;
  }

  int64_t PerformanceFrequency() override {
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
  }

  platform::LocalTime GetLocalTime() override {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    return platform::LocalTime{now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
  }

  bool CreateDirectory(const std::wstring& path) override { return CreateDirectoryW(path.c_str(), nullptr) != 0; }

  std::optional<std::wstring> GetEnvironmentVariable(const std::wstring& name, size_t capacity,
                                                     size_t* length) override {
    const DWORD size = static_cast<DWORD>(std::min<size_t>(capacity, std::numeric_limits<DWORD>::max()));
    std::vector<wchar_t> buffer(size);
    // 0 means "not set" only with this error; a set but empty variable also
    // answers 0.
    SetLastError(ERROR_SUCCESS);
    const DWORD result = GetEnvironmentVariableW(name.c_str(), buffer.empty() ? nullptr : buffer.data(), size);
    if (result == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) {
      if (length) *length = 0;
      return std::nullopt;
    }
    if (length) *length = result;
    // Too small a buffer: the answer is the size it needs, terminator
    // included, and the buffer holds nothing.
    if (result >= size) return std::wstring();
    return std::wstring(buffer.data(), result);
  }

  bool GetProcessMemory(platform::ProcessMemory* out) override {
    if (out == nullptr) return false;
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    if (!K32GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                                 sizeof counters)) {
      return false;
    }
    out->privateBytes = counters.PrivateUsage;
    out->workingSetBytes = counters.WorkingSetSize;
    return true;
  }

  void ReleaseFreeHeapMemory() override { HeapCompact(GetProcessHeap(), 0); }
  // The process heap gives blocks above its virtual-allocation threshold
  // back to the system when they are freed.
  void ReturnLargeBlocksOnFree() override {}

  bool HashFileSha256(const std::wstring& path, std::array<uint8_t, 32>* digest) override {
    if (digest == nullptr) return false;
    if (path.find(L'\0') != std::wstring::npos) return false;  // would silently name another file
    ScopedHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return false;
    // Only files on disk: a pipe or a console would block or never end.
    if (GetFileType(file.get()) != FILE_TYPE_DISK) return false;
    BY_HANDLE_FILE_INFORMATION opened{};
    if (!FileIdentity(file.get(), &opened)) return false;

    BcryptAlgorithm algorithm;
    if (!NtSuccess(BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
      return false;
    }
    BcryptHash hash;
    if (!NtSuccess(BCryptCreateHash(algorithm.get(), hash.put(), nullptr, 0, nullptr, 0, 0))) return false;

    std::vector<UCHAR> buffer(kHashReadSize);
    for (;;) {
      DWORD got = 0;
      if (!ReadFile(file.get(), buffer.data(), kHashReadSize, &got, nullptr)) return false;
      if (got == 0) break;
      if (!NtSuccess(BCryptHashData(hash.get(), buffer.data(), got, 0))) return false;
    }
    // The digest stands for the path only if the file there now is the one
    // hashed, untouched (the sharing mode keeps writers out of this process's
    // view, not every file system's).
    BY_HANDLE_FILE_INFORMATION after{}, atPath{};
    ScopedHandle now(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!now.valid() || !FileIdentity(file.get(), &after) || !FileIdentity(now.get(), &atPath)) return false;
    if (!SameUnchangedFile(opened, after) || !SameUnchangedFile(opened, atPath)) return false;
    std::array<uint8_t, 32> result{};
    if (!NtSuccess(BCryptFinishHash(hash.get(), result.data(), static_cast<ULONG>(result.size()), 0))) {
      return false;
    }
    *digest = result;
    return true;
  }

  std::string PathToUtf8(const std::wstring& path) override {
    if (path.empty()) return {};
    // Unpaired surrogates become U+FFFD, as on the other backends.
    const int wideLength = static_cast<int>(std::min<size_t>(path.size(), std::numeric_limits<int>::max()));
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, path.data(), wideLength, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return {};
    std::string utf8(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, path.data(), wideLength, utf8.data(), bytes, nullptr, nullptr);
    return utf8;
  }
};

}  // namespace

platform::ISystemServices& SystemServices() {
  static WinSystemServices services;
  return services;
}

}  // namespace ostrel::win
