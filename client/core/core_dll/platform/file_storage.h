// Files for the older part of a long replay: a folder checked before a
// capture, owner-only files that are written once in order and read back
// at any offset, and the leftovers of a process that ended without cleaning
// up. Every method may be called from any thread; one file may be appended
// on one thread while others read what was already appended.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/hresult.h"

namespace ostrel::platform {

class ISpillFile {
 public:
  // Closes the file; its name and its bytes are gone with it.
  virtual ~ISpillFile() = default;
  // Writes `size` bytes at the end (WriteFile; write on POSIX). A failure
  // (a full disk: 0x80070070) leaves the end where it was, so what was
  // appended before stays readable.
  virtual Hresult Append(const uint8_t* data, size_t size, uint64_t* offset) = 0;
  // Reads `size` bytes at `offset` (ReadFile with an offset; pread).
  virtual Hresult ReadAt(uint64_t offset, uint8_t* data, size_t size) = 0;
};

class IFileStorage {
 public:
  virtual ~IFileStorage() = default;

  // Creates the folder when it does not exist (with missing parents) and
  // checks that a file can be created in it; on failure `reason` says why.
  virtual Hresult PrepareFolder(const std::wstring& folder, std::wstring* reason) = 0;
  // Removes the spill files an earlier process left in the folder (ended by
  // a crash or a kill); files still open elsewhere and other files stay.
  // Returns how many were removed.
  virtual size_t RemoveLeftovers(const std::wstring& folder) = 0;
  // A new file in the folder that only the current user can open. It needs
  // no cleanup when the process dies where the platform allows that
  // (unlinked while open on POSIX, delete-on-close on Windows).
  virtual Hresult CreateSpillFile(const std::wstring& folder, std::unique_ptr<ISpillFile>* file) = 0;
};

// Every spill file's name starts with this.
inline constexpr wchar_t kSpillFilePrefix[] = L"ostrel-spill-";

}  // namespace ostrel::platform
