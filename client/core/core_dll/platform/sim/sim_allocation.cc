// Allocation failures on demand (OstrelSim_FailAllocations): the fake world
// replaces the program's C++ allocation functions, so that a test can make
// the next allocations of one thread fail wherever they happen, in the log
// path, a string conversion or a container deep under an export. Memory
// comes from malloc as with the default functions; aligned forms are left
// to the runtime.
#include <cstdlib>
#include <new>

#include "ostrel/ostrel_sim.h"

// The sanitizers' runtimes own the allocation functions: a replacement here
// would pair their new with our delete for blocks the C++ runtime allocates
// on the library's behalf. Failures cannot be injected there.
#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define OSTREL_SANITIZER_ALLOCATOR 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define OSTREL_SANITIZER_ALLOCATOR 1
#endif

namespace {

// Plain thread-locals (no constructor): safe inside operator new.
thread_local int t_skip = 0;
thread_local int t_failures = 0;

}  // namespace

#ifndef OSTREL_SANITIZER_ALLOCATOR
namespace {

bool NextAllocationFails() noexcept {
  if (t_failures <= 0) return false;
  if (t_skip > 0) {
    --t_skip;
    return false;
  }
  --t_failures;
  return true;
}

void* Allocate(std::size_t size) {
  if (NextAllocationFails()) throw std::bad_alloc();
  if (size == 0) size = 1;
  for (;;) {
    if (void* block = std::malloc(size)) return block;
    std::new_handler handler = std::get_new_handler();
    if (handler == nullptr) throw std::bad_alloc();
    handler();
  }
}

void* AllocateNoThrow(std::size_t size) noexcept {
  try {
    return Allocate(size);
  } catch (...) {
    return nullptr;
  }
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return AllocateNoThrow(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return AllocateNoThrow(size); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
#endif

OSTREL_API void OstrelSim_FailAllocations(int skip, int count) {
  t_skip = skip > 0 ? skip : 0;
  t_failures = count > 0 ? count : 0;
}

OSTREL_API int OstrelSim_GetPendingAllocationFailures(void) { return t_failures; }
