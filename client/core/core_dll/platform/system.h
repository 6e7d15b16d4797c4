// Ordinary operating-system services: clock, local time, folders,
// environment, process memory, file hashing. Every method may be called from
// any thread at any time; none keeps state between calls.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace ostrel::platform {

struct LocalTime {
  uint16_t year, month, day, hour, minute, second, milliseconds;
};

struct ProcessMemory {
  uint64_t privateBytes;     // committed memory private to the process
  uint64_t workingSetBytes;  // resident memory
};

class ISystemServices {
 public:
  virtual ~ISystemServices() = default;

  // QueryPerformanceCounter / QueryPerformanceFrequency.
  virtual int64_t PerformanceCounter() = 0;
  virtual int64_t PerformanceFrequency() = 0;
  // GetLocalTime.
  virtual LocalTime GetLocalTime() = 0;
  // CreateDirectoryW without security attributes: creates the last path
  // component only; false when it could not (already existing included).
  virtual bool CreateDirectory(const std::wstring& path) = 0;
  // GetEnvironmentVariableW into a buffer of `capacity` wide characters:
  // nullopt when the variable is not set; otherwise the value and the length
  // the platform reports (the full length when it does not fit).
  virtual std::optional<std::wstring> GetEnvironmentVariable(const std::wstring& name,
                                                             size_t capacity, size_t* length) = 0;
  // K32GetProcessMemoryInfo for the current process; false when unreadable.
  virtual bool GetProcessMemory(ProcessMemory* out) = 0;
  // Hands the free memory the C runtime's heap keeps back to the system,
  // without changing the heap's policy (HeapCompact on the process heap;
  // malloc_trim(0) with glibc; nothing where the runtime has no such call).
  // Walks the whole heap: callers limit how often.
  virtual void ReleaseFreeHeapMemory() = 0;
  // Makes the C runtime give blocks of about a megabyte and more back to the
  // system as soon as they are freed, for the rest of the process's life
  // (glibc: a fixed mmap threshold, which otherwise rises to the largest
  // block freed and leaves encoder and replay buffers in its arenas; Windows's
  // heap already does so for such blocks, so nothing there). A heap policy
  // of the whole process: only for a host that asked for bounded memory.
  virtual void ReturnLargeBlocksOnFree() = 0;
  // SHA-256 of a whole file read in 64 KiB pieces (CreateFileW with read
  // sharing + CNG on Windows); false when the file cannot be opened or read,
  // or when the file at `path` once the hash is done is not the file hashed
  // as it was when opened (replaced, or written to, meanwhile).
  virtual bool HashFileSha256(const std::wstring& path, std::array<uint8_t, 32>* digest) = 0;
  // Converts a wide path to the UTF-8 form the media library opens.
  virtual std::string PathToUtf8(const std::wstring& path) = 0;
};

}  // namespace ostrel::platform
