// Who holds the big heap blocks: the bench that includes this header (one
// translation unit only) replaces malloc and friends with thin forwarders to
// glibc that remember every live block of at least kTrackedBytes with the
// call stack that asked for it. At report time each block is charged to the
// innermost function of the program on its stack (allocation plumbing such
// as std:: containers skipped), named by addr2line, and to the innermost
// shared library below it that is not the allocator itself (libx264 under an
// encoder open, libavformat under the muxer). Smaller blocks are summed by
// mallinfo2 only.
#pragma once

#include <dlfcn.h>
#include <execinfo.h>
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
void* __libc_malloc(size_t size);
void __libc_free(void* pointer);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
}

namespace block_owners {

constexpr size_t kTrackedBytes = 16 * 1024;
constexpr int kFrames = 12;
constexpr int kSlotBits = 14;
constexpr size_t kSlots = size_t{1} << kSlotBits;  // far above the live big blocks

struct Entry {
  uintptr_t pointer;  // 0: empty
  size_t size;
  void* frames[kFrames];
  int frameCount;
};

// Open addressing with linear probing and backward-shift deletion, under a
// spin lock (the allocator may be entered from any thread, before main too).
inline Entry g_table[kSlots];
inline std::atomic_flag g_lock = ATOMIC_FLAG_INIT;
inline std::atomic<bool> g_enabled{false};
inline std::atomic<size_t> g_live{0};
inline std::atomic<size_t> g_dropped{0};
inline thread_local bool t_inside = false;

inline size_t SlotOf(uintptr_t pointer) { return (pointer >> 4) * 0x9E3779B97F4A7C15ull >> (64 - kSlotBits); }

struct SpinGuard {
  SpinGuard() {
    while (g_lock.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~SpinGuard() { g_lock.clear(std::memory_order_release); }
};

inline void Remember(void* pointer, size_t size) {
  if (pointer == nullptr || size < kTrackedBytes || !g_enabled.load(std::memory_order_relaxed) || t_inside) return;
  t_inside = true;
  void* frames[kFrames + 2];
  const int count = backtrace(frames, kFrames + 2);
  {
    SpinGuard guard;
    if (g_live.load(std::memory_order_relaxed) >= kSlots / 2) {
      g_dropped.fetch_add(1);
    } else {
      const auto key = reinterpret_cast<uintptr_t>(pointer);
      size_t slot = SlotOf(key);
      while (g_table[slot].pointer != 0 && g_table[slot].pointer != key) slot = (slot + 1) & (kSlots - 1);
      Entry& entry = g_table[slot];
      if (entry.pointer == 0) g_live.fetch_add(1);
      entry.pointer = key;
      entry.size = size;
      // The first two frames are this function and the replaced allocator.
      entry.frameCount = std::max(0, std::min(count - 2, kFrames));
      std::memcpy(entry.frames, frames + 2, sizeof(void*) * static_cast<size_t>(entry.frameCount));
    }
  }
  t_inside = false;
}

inline void Forget(void* pointer) {
  if (pointer == nullptr || g_live.load(std::memory_order_relaxed) == 0) return;
  if (malloc_usable_size(pointer) < kTrackedBytes) return;  // never tracked: no lock taken
  const auto key = reinterpret_cast<uintptr_t>(pointer);
  SpinGuard guard;
  size_t slot = SlotOf(key);
  while (g_table[slot].pointer != key) {
    if (g_table[slot].pointer == 0) return;
    slot = (slot + 1) & (kSlots - 1);
  }
  g_table[slot].pointer = 0;
  g_live.fetch_sub(1);
  // Backward shift: later entries of the probe run move into the hole.
  size_t hole = slot;
  for (size_t next = (hole + 1) & (kSlots - 1); g_table[next].pointer != 0; next = (next + 1) & (kSlots - 1)) {
    const size_t home = SlotOf(g_table[next].pointer);
    const bool movable = hole <= next ? (home <= hole || home > next) : (home <= hole && home > next);
    if (movable) {
      g_table[hole] = g_table[next];
      g_table[next].pointer = 0;
      hole = next;
    }
  }
}

// Resident bytes of the tracker's own table (part of the process's figure).
inline double TableResidentBytes() {
  const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<uintptr_t>(&g_table[0]) & ~(page - 1);
  const auto end = reinterpret_cast<uintptr_t>(&g_table[kSlots]);
  std::vector<unsigned char> resident((end - begin + page - 1) / page);
  if (mincore(reinterpret_cast<void*>(begin), end - begin, resident.data()) != 0) return 0;
  return static_cast<double>(std::count_if(resident.begin(), resident.end(), [](unsigned char r) { return r & 1; })) *
         static_cast<double>(page);
}

// Starts tracking (blocks allocated before are never charged).
inline void Enable() {
  void* warm[2];
  backtrace(warm, 2);  // loads the unwinder now, outside any allocation
  g_enabled.store(true);
}

struct Owner {
  double bytes = 0;
  double resident = 0;  // of those bytes, on resident pages
  size_t blocks = 0;
};

// Bytes of [pointer, pointer + size) on resident pages.
inline double ResidentBytes(uintptr_t pointer, size_t size) {
  const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
  const uintptr_t begin = pointer & ~(page - 1);
  const uintptr_t end = pointer + size;
  std::vector<unsigned char> pages((end - begin + page - 1) / page);
  if (mincore(reinterpret_cast<void*>(begin), end - begin, pages.data()) != 0) return 0;
  double bytes = 0;
  for (size_t i = 0; i < pages.size(); ++i) {
    if (!(pages[i] & 1)) continue;
    const uintptr_t from = std::max(begin + i * page, pointer);
    const uintptr_t to = std::min(begin + (i + 1) * page, end);
    bytes += static_cast<double>(to - from);
  }
  return bytes;
}

inline std::string Basename(const char* path) {
  std::string name = path ? path : "?";
  name = name.substr(name.rfind('/') + 1);
  if (name.find(".so") != std::string::npos) name = name.substr(0, name.find(".so"));
  return name;
}

inline bool AllocatorLibrary(const std::string& name) {
  return name == "libc" || name == "libstdc++" || name == "libavutil";
}

// Function names of program addresses, through addr2line on the executable.
inline std::map<uintptr_t, std::string> NameProgramAddresses(const std::vector<uintptr_t>& offsets) {
  std::map<uintptr_t, std::string> names;
  char list[] = "/tmp/block-owners-XXXXXX";
  const int fd = mkstemp(list);
  if (fd < 0) return names;
  std::string text;
  for (uintptr_t offset : offsets) text += "0x" + [&] {
    char hex[32];
    std::snprintf(hex, sizeof hex, "%lx", static_cast<unsigned long>(offset));
    return std::string(hex);
  }() + "\n";
  if (write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) text.clear();
  close(fd);
  char exe[4096] = {};
  if (readlink("/proc/self/exe", exe, sizeof exe - 1) <= 0) return names;
  const std::string command = std::string("addr2line -f -C -e '") + exe + "' < " + list;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char line[4096];
    size_t index = 0;
    while (index < offsets.size() && std::fgets(line, sizeof line, pipe)) {
      std::string name = line;
      if (!name.empty() && name.back() == '\n') name.pop_back();
      if (!std::fgets(line, sizeof line, pipe)) break;  // file:line, unused
      // Arguments and return types add nothing to an owner's name.
      for (const std::string noise : {"(anonymous namespace)::", "ostrel::"}) {
        for (size_t at; (at = name.find(noise)) != std::string::npos;) name.erase(at, noise.size());
      }
      std::string bare;
      int depth = 0;
      for (char c : name) {
        depth += c == '(';
        if (depth == 0) bare += c;
        depth -= c == ')' && depth > 0;
      }
      if (bare.size() > 6 && bare.compare(bare.size() - 6, 6, " const") == 0) bare.resize(bare.size() - 6);
      name = bare;
      names[offsets[index++]] = name;
    }
    pclose(pipe);
  }
  unlink(list);
  return names;
}

inline bool Plumbing(const std::string& name) {
  return name.empty() || name == "??" || name.rfind("std::", 0) == 0 || name.rfind("void std::", 0) == 0 ||
         name.rfind("__gnu_cxx", 0) == 0 || name.find("block_owners") != std::string::npos ||
         name.rfind("operator new", 0) == 0 || name == "Allocate" || name == "malloc" || name == "calloc" || name == "realloc" ||
         name == "posix_memalign" || name == "memalign" || name == "aligned_alloc";
}

// Live tracked bytes by owner ("function [library]"), largest first.
inline std::vector<std::pair<std::string, Owner>> Owners() {
  std::vector<Entry> live;
  g_enabled.store(false);
  // Room for every entry the table can hold, made before the lock: a vector
  // growing under it would free its old buffer into Forget, which takes the
  // same lock.
  live.reserve(kSlots / 2 + 1);
  {
    SpinGuard guard;
    for (const Entry& entry : g_table)
      if (entry.pointer != 0) live.push_back(entry);
  }
  Dl_info self{};
  dladdr(reinterpret_cast<void*>(&Owners), &self);
  const auto base = reinterpret_cast<uintptr_t>(self.dli_fbase);
  auto inProgram = [&](void* frame, std::string* library) {
    Dl_info info{};
    if (dladdr(frame, &info) == 0) return false;
    if (info.dli_fbase == self.dli_fbase) return true;
    *library = Basename(info.dli_fname);
    return false;
  };
  std::vector<uintptr_t> offsets;
  for (const Entry& entry : live) {
    for (int i = 0; i < entry.frameCount; ++i) {
      std::string library;
      // Return addresses point after the call: one byte back names the caller.
      if (inProgram(entry.frames[i], &library))
        offsets.push_back(reinterpret_cast<uintptr_t>(entry.frames[i]) - 1 - base);
    }
  }
  std::sort(offsets.begin(), offsets.end());
  offsets.erase(std::unique(offsets.begin(), offsets.end()), offsets.end());
  const auto names = NameProgramAddresses(offsets);
  std::map<std::string, Owner> owners;
  for (const Entry& entry : live) {
    std::string function, library;
    for (int i = 0; i < entry.frameCount && function.empty(); ++i) {
      std::string frameLibrary;
      if (inProgram(entry.frames[i], &frameLibrary)) {
        auto found = names.find(reinterpret_cast<uintptr_t>(entry.frames[i]) - 1 - base);
        if (found != names.end() && !Plumbing(found->second)) function = found->second;
      } else if (library.empty() && !AllocatorLibrary(frameLibrary)) {
        library = frameLibrary;
      }
    }
    std::string key = function.empty() ? "(a library's own thread)" : function;
    if (!library.empty()) key += " [" + library + "]";
    owners[key].bytes += static_cast<double>(entry.size);
    owners[key].resident += ResidentBytes(entry.pointer, entry.size);
    owners[key].blocks += 1;
  }
  std::vector<std::pair<std::string, Owner>> ordered(owners.begin(), owners.end());
  std::sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) { return a.second.resident > b.second.resident; });
  g_enabled.store(true);
  return ordered;
}

}  // namespace block_owners

// The replaced allocator entry points: glibc does the work. Visible by
// name, as some system headers declare a few of them hidden.
extern "C" {
[[gnu::visibility("default")]] void* malloc(size_t size) {
  void* pointer = __libc_malloc(size);
  block_owners::Remember(pointer, size);
  return pointer;
}
[[gnu::visibility("default")]] void free(void* pointer) {
  block_owners::Forget(pointer);
  __libc_free(pointer);
}
[[gnu::visibility("default")]] void* calloc(size_t count, size_t size) {
  void* pointer = __libc_calloc(count, size);
  block_owners::Remember(pointer, count * size);
  return pointer;
}
[[gnu::visibility("default")]] void* realloc(void* pointer, size_t size) {
  block_owners::Forget(pointer);
  void* moved = __libc_realloc(pointer, size);
  block_owners::Remember(moved, size);
  return moved;
}
[[gnu::visibility("default")]] void* memalign(size_t alignment, size_t size) {
  void* pointer = __libc_memalign(alignment, size);
  block_owners::Remember(pointer, size);
  return pointer;
}
[[gnu::visibility("default")]] void* aligned_alloc(size_t alignment, size_t size) { return memalign(alignment, size); }
[[gnu::visibility("default")]] int posix_memalign(void** out, size_t alignment, size_t size) {
  if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
  void* pointer = memalign(alignment, size);
  if (pointer == nullptr && size != 0) return ENOMEM;
  *out = pointer;
  return 0;
}
[[gnu::visibility("default")]] void* valloc(size_t size) { return memalign(static_cast<size_t>(sysconf(_SC_PAGESIZE)), size); }
}
