#include "save/save_test_hooks.h"

#include <atomic>

namespace ostrel::save_hooks {
namespace {

std::atomic<const SaveTestHooks*> installed{nullptr};

}  // namespace

void InstallSaveTestHooks(const SaveTestHooks* hooks) { installed.store(hooks); }

bool ShouldFail(FaultPoint point, int detail) {
  const SaveTestHooks* hooks = installed.load();
  return hooks != nullptr && hooks->fail && hooks->fail(point, detail);
}

void AfterProgress(uint32_t stage, uint32_t done, uint32_t total) {
  const SaveTestHooks* hooks = installed.load();
  if (hooks != nullptr && hooks->afterProgress) hooks->afterProgress(stage, done, total);
}

}  // namespace ostrel::save_hooks
