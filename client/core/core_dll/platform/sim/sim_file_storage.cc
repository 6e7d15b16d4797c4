#include "platform/sim/sim_file_storage.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "ostrel/ostrel_sim.h"
#include "platform/posix/posix_file_storage.h"

namespace ostrel::sim {
namespace {

struct WriterControl {
  std::mutex mutex;
  std::condition_variable changed;
  int mode = OSTREL_SIM_SPILL_WRITES_SUCCEED;  // guarded by mutex
  Hresult status = hr::kDiskFull;              // guarded by mutex
  std::atomic<int> openFiles{0};
  std::atomic<uint64_t> writes{0};
  std::atomic<int> blockedWriters{0};
};

WriterControl& Control() {
  static WriterControl control;
  return control;
}

// A blocked writer waits here until the mode changes; a failing one gets
// the status.
Hresult WriteGate() {
  WriterControl& control = Control();
  std::unique_lock lock(control.mutex);
  if (control.mode == OSTREL_SIM_SPILL_WRITES_BLOCK) {
    control.blockedWriters.fetch_add(1);
    control.changed.wait(lock, [&] { return control.mode != OSTREL_SIM_SPILL_WRITES_BLOCK; });
    control.blockedWriters.fetch_sub(1);
  }
  return control.mode == OSTREL_SIM_SPILL_WRITES_FAIL ? control.status : hr::kOk;
}

class SimSpillFile final : public platform::ISpillFile {
 public:
  explicit SimSpillFile(std::unique_ptr<platform::ISpillFile> file) : file_(std::move(file)) {
    Control().openFiles.fetch_add(1);
  }
  ~SimSpillFile() override { Control().openFiles.fetch_sub(1); }
  SimSpillFile(const SimSpillFile&) = delete;
  SimSpillFile& operator=(const SimSpillFile&) = delete;

  Hresult Append(const uint8_t* data, size_t size, uint64_t* offset) override {
    if (const Hresult gate = WriteGate(); Failed(gate)) return gate;
    const Hresult written = file_->Append(data, size, offset);
    if (Succeeded(written)) Control().writes.fetch_add(1);
    return written;
  }
  Hresult ReadAt(uint64_t offset, uint8_t* data, size_t size) override { return file_->ReadAt(offset, data, size); }

 private:
  std::unique_ptr<platform::ISpillFile> file_;
};

class SimFileStorageImpl final : public platform::IFileStorage {
 public:
  Hresult PrepareFolder(const std::wstring& folder, std::wstring* reason) override {
    return posix_.PrepareFolder(folder, reason);
  }
  size_t RemoveLeftovers(const std::wstring& folder) override { return posix_.RemoveLeftovers(folder); }
  Hresult CreateSpillFile(const std::wstring& folder, std::unique_ptr<platform::ISpillFile>* file) override {
    std::unique_ptr<platform::ISpillFile> real;
    const Hresult created = posix_.CreateSpillFile(folder, &real);
    if (Failed(created)) return created;
    *file = std::make_unique<SimSpillFile>(std::move(real));
    return hr::kOk;
  }

 private:
  platform::posix::PosixFileStorage posix_;
};

}  // namespace

platform::IFileStorage& SimFileStorage() {
  static SimFileStorageImpl storage;
  return storage;
}

void ResetSimFileStorage() { OstrelSim_SetSpillWriter(OSTREL_SIM_SPILL_WRITES_SUCCEED, 0); }

}  // namespace ostrel::sim

using ostrel::sim::Control;

extern "C" {

OSTREL_API void OstrelSim_SetSpillWriter(int mode, uint32_t status) {
  auto& control = Control();
  {
    std::lock_guard lock(control.mutex);
    control.mode = mode;
    control.status = status != 0 ? static_cast<ostrel::Hresult>(status) : ostrel::hr::kDiskFull;
  }
  control.changed.notify_all();
}

OSTREL_API int OstrelSim_GetOpenSpillFileCount(void) { return Control().openFiles.load(); }

OSTREL_API uint64_t OstrelSim_GetSpillWriteCount(void) { return Control().writes.load(); }

OSTREL_API int OstrelSim_GetBlockedSpillWriterCount(void) { return Control().blockedWriters.load(); }

}  // extern "C"
