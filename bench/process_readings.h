// Readings of this process that the benches print: resident memory, CPU
// time and the allocator's arenas (Linux, glibc).
#pragma once

#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bench {

inline double ResidentMb() {
  long pages = 0, resident = 0;
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (!statm) return 0;
  if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
  std::fclose(statm);
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1 << 20);
}

// User and system CPU seconds of a getrusage reading.
inline double CpuSeconds(const rusage& usage) {
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// User and system CPU seconds of the process (RUSAGE_SELF) or the calling
// thread (RUSAGE_THREAD).
inline double CpuSeconds(int who = RUSAGE_SELF) {
  rusage usage{};
  getrusage(who, &usage);
  return CpuSeconds(usage);
}

// The allocator's arenas, counted in its own report.
inline int ArenaCount() {
  char* text = nullptr;
  size_t size = 0;
  FILE* stream = open_memstream(&text, &size);
  if (!stream) return 0;
  malloc_info(0, stream);
  std::fclose(stream);
  int count = 0;
  for (const char* at = text; (at = std::strstr(at, "<heap nr=")) != nullptr; ++at) ++count;
  std::free(text);
  return count;
}

}  // namespace bench
