// IFileStorage on POSIX systems (shared by the sim and linux backends):
// spill files are created 0600 with O_EXCL and unlinked at once, so they
// need no cleanup whatever ends the process; a name is left only by a
// process that died between the two calls.
#pragma once

#include "platform/file_storage.h"

namespace ostrel::platform::posix {

class PosixFileStorage final : public IFileStorage {
 public:
  Hresult PrepareFolder(const std::wstring& folder, std::wstring* reason) override;
  size_t RemoveLeftovers(const std::wstring& folder) override;
  Hresult CreateSpillFile(const std::wstring& folder, std::unique_ptr<ISpillFile>* file) override;
};

// An errno value as the Windows code of the same failure.
Hresult HresultFromErrno(int error);

}  // namespace ostrel::platform::posix
