// What a GPU device-loss restart leaves behind: 1920x1080 window captured at
// 720p60 with a short replay (so the rings are full again soon after each
// restart), saves with both audio sources every 2 s, and a device loss every
// cycle. After each recovery, once the ring is back at its full size and with
// no save in progress, prints the allocator's figures (bytes in use in the
// arenas, bytes in mmapped blocks, free bytes kept in the arenas, the number
// of arenas), resident memory beyond the simulated GPU textures, the threads
// and the live simulated devices. A leak shows as bytes in use climbing per
// restart; fragmentation as free bytes kept (and resident memory) climbing
// while bytes in use stay flat.
//
// "threshold" fixes glibc's mmap threshold at 128 KiB first (no dynamic
// raise when big blocks are freed), for comparison. "stopped" also stops
// capture after each cycle and prints the bytes still in use with nothing
// recording (exact, unlike the recording figures, which move with the spare
// encoder and the frames in flight) and the anonymous resident memory, the
// part of it in huge pages and in ranges marked for them, then starts it
// again. "stopped-nothp" does the same with transparent huge pages turned
// off for the process first (PR_SET_THP_DISABLE), for comparison.
//
// usage: restart_memory_bench [restarts=6] [seconds-per-cycle=9] [replay-seconds=4]
//                             [threshold|stopped|stopped-nothp]
#include <dirent.h>
#include <malloc.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <string>
#include <thread>

#include "process_readings.h"
#include "sim_recording.h"
#include "ostrel/ostrel.h"
#include "ostrel/ostrel_sim.h"
#include "platform/sim/sim_gpu.h"

namespace {

using bench::ArenaCount;
using bench::CpuSeconds;
using bench::ResidentMb;

using Clock = std::chrono::steady_clock;

bench::SessionLog g_log;

void OnLogLine(const wchar_t* line) { g_log.Read(line); }

rusage Usage() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage;
}

int CountEntries(const char* path) {
  int count = 0;
  if (DIR* dir = opendir(path)) {
    while (dirent* entry = readdir(dir))
      if (entry->d_name[0] != '.') ++count;
    closedir(dir);
  }
  return count;
}

// Arenas in malloc_info's XML: one <heap nr=...> each.
// Anonymous resident memory, the part of it in transparent huge pages, and
// the part in mappings marked MADV_HUGEPAGE ("hg" in VmFlags; libx264 marks
// its big buffers so, and the mark stays on the heap range after the buffer
// is freed and the allocator reuses the range).
void PrintAnonymousResident() {
  FILE* smaps = std::fopen("/proc/self/smaps", "r");
  if (!smaps) return;
  double total = 0, huge = 0, advised = 0, rss = 0;
  int advisedMaps = 0;
  bool anonymous = false;
  char line[512];
  while (std::fgets(line, sizeof line, smaps)) {
    unsigned long begin = 0, end = 0, offset = 0, inode = 0, kb = 0;
    char perms[8] = {}, device[16] = {}, name[256] = {};
    if (std::sscanf(line, "%lx-%lx %7s %lx %15s %lu %255s", &begin, &end, perms, &offset, device, &inode, name) >= 6) {
      anonymous = inode == 0 && (name[0] == 0 || std::strcmp(name, "[heap]") == 0);
      rss = 0;
    } else if (anonymous && std::sscanf(line, "Rss: %lu kB", &kb) == 1) {
      rss = static_cast<double>(kb) / 1024;
      total += rss;
    } else if (anonymous && std::sscanf(line, "AnonHugePages: %lu kB", &kb) == 1) {
      huge += static_cast<double>(kb) / 1024;
    } else if (anonymous && std::strncmp(line, "VmFlags:", 8) == 0 && std::strstr(line, " hg")) {
      ++advisedMaps;
      advised += rss;
    }
  }
  std::fclose(smaps);
  std::printf("        anonymous resident %.1f MB: %.1f MB in huge pages; %.1f MB in %d mappings marked for huge "
              "pages\n",
              total, huge, advised, advisedMaps);
}

}  // namespace

int main(int argc, char** argv) {
  const int restarts = argc > 1 ? std::max(1, std::atoi(argv[1])) : 6;
  const int cycleSeconds = argc > 2 ? std::max(3, std::atoi(argv[2])) : 9;
  const int replaySeconds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 4;
  const bool fixedThreshold = argc > 4 && std::strcmp(argv[4], "threshold") == 0;
  const bool noHugePages = argc > 4 && std::strcmp(argv[4], "stopped-nothp") == 0;
  const bool stoppedFigures = noHugePages || (argc > 4 && std::strcmp(argv[4], "stopped") == 0);
  if (noHugePages && prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0) != 0) std::printf("PR_SET_THP_DISABLE refused\n");
  if (fixedThreshold) mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  char folder[] = "/tmp/ostrel-restart-XXXXXX";
  if (!mkdtemp(folder)) return 1;
  std::wstring wideFolder(folder, folder + std::strlen(folder));
  void* window = bench::PrepareSimWindow(OnLogLine);
  if (bench::StartRecording(window, replaySeconds) != 0) {
    std::printf("capture did not start\n");
    return 1;
  }
  std::printf("restarts: 1920x1080 -> 720p60, %d s replay, save every 2 s, a device loss every %d s\n",
              replaySeconds, cycleSeconds);
  std::printf("mmap threshold: %s; transparent huge pages: %s\n",
              fixedThreshold ? "fixed at 128 KiB" : "glibc default (dynamic)",
              noHugePages ? "off for the process" : "system setting");
  std::printf("liveMB: allocator bytes in use (arenas + mmapped blocks); rssMB: resident beyond the simulated "
              "textures; outsideMB: resident not accounted for by live blocks; cpu/s and faults/s (minor page faults) "
              "over the cycle\n");
  std::printf("%7s %10s %8s %8s %8s %7s %8s %8s %10s %7s %7s %6s %6s %9s\n", "restart", "liveMB", "inArena", "mmapMB",
              "freeMB", "arenas", "texMB", "rssMB", "outsideMB", "threads", "devices", "saves", "cpu/s", "faults/s");
  int saves = 0;
  rusage cycleStart = Usage();
  auto cycleBegin = Clock::now();
  auto runCycle = [&] {
    cycleStart = Usage();
    cycleBegin = Clock::now();
    const auto end = Clock::now() + std::chrono::seconds(cycleSeconds);
    while (Clock::now() + std::chrono::seconds(2) < end) {
      std::this_thread::sleep_for(std::chrono::seconds(2));
      wchar_t path[1024];
      if (Ostrel_SaveClipNow(wideFolder.c_str(), path, 1024) == 0) {
        ++saves;
        unlink(std::string(path, path + std::wcslen(path)).c_str());
      }
    }
    std::this_thread::sleep_until(end);
  };
  auto report = [&](int restart) {
    // The library trims after saves and stops; trimmed here too so that the
    // figures do not depend on which of its releases ran last.
    malloc_trim(0);
    const struct mallinfo2 info = mallinfo2();
    constexpr double kMb = 1 << 20;
    const double live = static_cast<double>(info.uordblks + info.hblkhd) / kMb;
    const double textures = static_cast<double>(ostrel::sim::LiveTextureBytes()) / kMb;
    const double resident = ResidentMb();
    const rusage now = Usage();
    const double seconds = std::chrono::duration<double>(Clock::now() - cycleBegin).count();
    std::printf("%7d %10.3f %8.2f %8.2f %8.2f %7d %8.1f %8.1f %10.1f %7d %7d %6d %6.3f %9.0f\n", restart, live,
                static_cast<double>(info.uordblks) / kMb, static_cast<double>(info.hblkhd) / kMb,
                static_cast<double>(info.fordblks) / kMb, ArenaCount(), textures, resident - textures,
                resident - live, CountEntries("/proc/self/task"), OstrelSim_GetLiveDeviceCount(), saves,
                (CpuSeconds(now) - CpuSeconds(cycleStart)) / seconds,
                static_cast<double>(now.ru_minflt - cycleStart.ru_minflt) / seconds);
    if (stoppedFigures) {
      Ostrel_StopCapture();
      malloc_trim(0);
      const struct mallinfo2 stopped = mallinfo2();
      std::printf("        stopped: %zu bytes in use, %.1f MB resident, %d threads\n",
                  stopped.uordblks + stopped.hblkhd, ResidentMb(), CountEntries("/proc/self/task"));
      PrintAnonymousResident();
      if (bench::StartRecording(window, replaySeconds) != 0)
        std::printf("  capture did not start again\n");
    }
    std::fflush(stdout);
  };
  runCycle();
  report(0);
  for (int restart = 1; restart <= restarts; ++restart) {
    const int seen = g_log.LossesSeen();
    const int recovered = g_log.Recoveries();
    OstrelSim_LoseDevice(bench::kDeviceRemoved);
    const auto giveUp = Clock::now() + std::chrono::seconds(8);
    while (g_log.LossesSeen() == seen && Clock::now() < giveUp)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    OstrelSim_LoseDevice(0);
    while (g_log.Recoveries() == recovered && Clock::now() < giveUp + std::chrono::seconds(8))
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (g_log.Recoveries() == recovered) std::printf("  restart %d: no recovery seen\n", restart);
    runCycle();
    report(restart);
  }
  Ostrel_StopCapture();
  OstrelSim_DestroyWindow(window);
  Ostrel_GlobalShutdown();
  rmdir(folder);
  return 0;
}
