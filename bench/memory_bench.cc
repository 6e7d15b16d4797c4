// Where a recording's resident memory goes: 1920x1080 window captured at
// 720p60, 6 Mbit/s, 30 s replay, desktop and microphone audio, optionally a
// save every 5 s. The process keeps glibc's default allocator settings, as a
// host would; "mallopt" sets a fixed 128 KiB mmap threshold and two arenas
// first, for comparison. After the given time, with no save in progress,
// prints the biggest holders of heap blocks (each charged to the function
// that asked for it, see block_owners.h), then resident memory split into the
// simulated GPU textures (video memory on a real GPU, left out of the
// figure), the rings, the allocator's blocks in use, shared-library pages and
// the rest; then resident memory beyond the rings and the simulated textures,
// and the figure that counts: that without the pages of the libraries Debian's
// FFmpeg loads and the recording never runs (see RunsTheRecording).
//
// usage: memory_bench [seconds=40] [save-every-5s=1] [mallopt]
#include "block_owners.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "process_readings.h"
#include "resident_mappings.h"
#include "sim_recording.h"
#include "ostrel/ostrel.h"
#include "ostrel/ostrel_sim.h"
#include "platform/sim/sim_gpu.h"

namespace {

using bench::ArenaCount;
using bench::CpuSeconds;
using bench::FilesMb;
using bench::ResidentByMapping;
using bench::ResidentMb;
using bench::UnusedLibrariesMb;

bench::SessionLog g_log;
std::mutex g_releaseMutex;
std::wstring g_releaseLine;

void OnLogLine(const wchar_t* line) {
  g_log.Read(line);
  if (std::wcsncmp(line, L"[DIAG-MEM-RELEASE]", 18) == 0) {
    std::lock_guard lock(g_releaseMutex);
    g_releaseLine = line;
  }
}

double Mb(double bytes) { return bytes / (1 << 20); }

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 40.0;
  const bool saving = argc > 2 ? std::atoi(argv[2]) != 0 : true;
  const bool hostMallopt = argc > 3 && std::strcmp(argv[3], "mallopt") == 0;
  if (hostMallopt) {
    // What a host may choose for itself: big blocks straight back to the
    // system when freed, two arenas.
    mallopt(M_MMAP_THRESHOLD, 128 * 1024);
    mallopt(M_ARENA_MAX, 2);
  }
  block_owners::Enable();
  void* window = bench::PrepareSimWindow(OnLogLine);
  // The process with the library loaded and initialized, before any capture
  // (the shared libraries' load-time pages among it): what recording adds is
  // read against this.
  const double idleRss = ResidentMb() - Mb(block_owners::TableResidentBytes());
  const double idleFiles = FilesMb(ResidentByMapping());
  const double idleTextures = Mb(static_cast<double>(ostrel::sim::LiveTextureBytes()));
  if (bench::StartRecording(window, 30) != 0) {
    std::printf("capture did not start\n");
    return 1;
  }
  char folder[] = "/tmp/ostrel-memory-XXXXXX";
  if (!mkdtemp(folder)) return 1;
  const std::wstring wideFolder(folder, folder + std::strlen(folder));
  const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  int saves = 0;
  while (std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::seconds(5));
    if (!saving) continue;
    wchar_t path[1024];
    if (Ostrel_SaveClipNow(wideFolder.c_str(), path, 1024) == 0) {
      ++saves;
      std::string narrow(path, path + std::wcslen(path));
      unlink(narrow.c_str());
    }
  }
  // The last save ended 11 s ago (no save in progress); a fresh ring line.
  std::this_thread::sleep_for(std::chrono::seconds(11));
  // Resident memory moves within each 2 s segment (a spare encoder is built
  // after each rotation, the retired one drains and is freed): read over two
  // segments, every 50 ms.
  double rssMax = 0, rssSum = 0;
  int rssReadings = 0;
  for (auto until = std::chrono::steady_clock::now() + std::chrono::seconds(4); std::chrono::steady_clock::now() < until;
       ++rssReadings) {
    const double reading = ResidentMb();
    rssMax = std::max(rssMax, reading);
    rssSum += reading;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  const double rss = ResidentMb();
  const auto owners = block_owners::Owners();
  const struct mallinfo2 heap = mallinfo2();
  const auto mappings = ResidentByMapping();
  const int arenas = ArenaCount();
  // The textures' resident part: resident memory has only the pages
  // written, and a texture not yet written in whole holds less than its size.
  double textures = 0;
  for (const auto& [name, owner] : owners) {
    if (name.find("CpuTexture::CpuTexture") != std::string::npos) textures += Mb(owner.resident);
  }
  const double textureBytes = Mb(static_cast<double>(ostrel::sim::LiveTextureBytes()));
  const double ringVideo = static_cast<double>(g_log.RingVideoMb());
  const double ringAudio = static_cast<double>(g_log.RingAudioMb());
  const double table = Mb(block_owners::TableResidentBytes());
  // What the figure leaves out: this bench's block table, the simulated
  // textures and the rings.
  const double leftOut = table + textures + ringVideo + ringAudio;
  const double unusedLibraries = UnusedLibrariesMb(mappings);
  // The recorder's own figure leaves those libraries out as well.
  const double ownLeftOut = leftOut + unusedLibraries;

  std::printf("recording 1920x1080 -> 720p60, 6 Mbit/s, 30 s replay, both audio sources, %.0f s, %d saves; "
              "allocator: %s\n",
              seconds, saves,
              hostMallopt ? "mmap threshold fixed at 128 KiB, 2 arenas (set by the host)" : "glibc defaults");
  std::printf("biggest holders of heap blocks >= %zu KiB (live now, by the function that asked):\n",
              block_owners::kTrackedBytes / 1024);
  double tracked = 0, trackedResident = 0;
  for (const auto& [name, owner] : owners) {
    tracked += owner.bytes;
    trackedResident += owner.resident;
  }
  std::printf("  %9s %9s %6s\n", "resident", "allocated", "blocks");
  int shown = 0;
  for (const auto& [name, owner] : owners) {
    if (shown++ == 12) break;
    std::printf("  %6.1f MB %6.1f MB %6zu  %s\n", Mb(owner.resident), Mb(owner.bytes), owner.blocks,
                name.substr(0, 100).c_str());
  }
  std::printf("  %6.1f MB %6.1f MB         all big blocks (%zu left out: table full)\n", Mb(trackedResident),
              Mb(tracked), block_owners::g_dropped.load());

  const double inUse = Mb(static_cast<double>(heap.uordblks + heap.hblkhd));
  const double files = FilesMb(mappings);
  double statics = 0;
  std::string biggestStatics;
  double biggestStaticsMb = 0;
  for (const auto& [kind, mb] : mappings) {
    // This bench's own static data is its block table, counted apart.
    if (kind.rfind("static data ", 0) == 0 && kind != "static data memory_bench") {
      statics += mb;
      if (mb > biggestStaticsMb) {
        biggestStaticsMb = mb;
        biggestStatics = kind.substr(12);
      }
    }
  }
  const double privateMb = mappings.count("(private)") ? mappings.at("(private)") : 0.0;
  std::printf("resident memory:\n");
  std::printf("  %-52s %8.1f MB\n", "all", rss);
  std::printf("  %-52s %8.1f MB  (video memory on a GPU: left out; %.1f MB allocated)\n",
              "simulated GPU textures (resident)", textures, textureBytes);
  std::printf("  %-52s %8.1f MB\n", "video ring", ringVideo);
  std::printf("  %-52s %8.1f MB\n", "audio rings", ringAudio);
  std::printf("  %-52s %8.1f MB  (textures, rings and holders above among them)\n",
              "allocator: blocks in use", inUse);
  std::printf("  %-52s %8.1f MB  (%d arenas; resident or given back)\n", "allocator: free in arenas",
              Mb(static_cast<double>(heap.fordblks)), arenas);
  std::printf("  %-52s %8.1f MB  (FFmpeg's dependencies among them)\n", "shared libraries and other files", files);
  std::printf("  %-52s %8.1f MB  (most in %s: %.1f MB)\n", "libraries' zero-filled static data", statics,
              biggestStatics.c_str(), biggestStaticsMb);
  std::printf("  %-52s %8.1f MB\n", "main heap (resident)", mappings.count("[heap]") ? mappings.at("[heap]") : 0.0);
  std::printf("  %-52s %8.1f MB\n", "other anonymous: arenas, big blocks, stacks (resident)",
              mappings.count("anonymous") ? mappings.at("anonymous") : 0.0);
  std::printf("  %-52s %8.1f MB\n", "this bench's block table", table);
  std::printf("  %-52s %8.1f MB\n", "rest: free blocks still resident, thread stacks",
              rss - inUse - files - statics - table);
  std::printf("  %-52s %8.1f MB\n", "beyond the rings and simulated textures", rss - leftOut);
  std::printf("  %-52s %8.1f MB  (mean %.1f MB)\n", "  highest, read every 50 ms over two segments",
              rssMax - leftOut, rssSum / rssReadings - leftOut);
  std::printf("  %-52s %8.1f MB  (shared library pages other processes share left out)\n",
              "  of which private to the process", privateMb - leftOut);
  std::printf("  %-52s %8.1f MB  (not in the Windows DLL: left out)\n",
              "  Debian FFmpeg's libraries the recording never runs", unusedLibraries);
  std::printf("  %-52s %8.1f MB  (target <= 60)\n", "the recorder's own: beyond rings, textures, those",
              rss - ownLeftOut);
  std::printf("  %-52s %8.1f MB  (mean %.1f MB)\n", "  highest, read every 50 ms over two segments",
              rssMax - ownLeftOut, rssSum / rssReadings - ownLeftOut);
  std::printf("  %-52s %8.1f MB  (shared libraries and files %.1f MB)\n",
              "before capture: library loaded and initialized", idleRss, idleFiles);
  std::printf("  %-52s %8.1f MB  (library pages first touched while recording: %.1f MB)\n",
              "added by recording beyond rings and textures",
              (rss - leftOut) - (idleRss - idleTextures), files - idleFiles);
  std::fflush(stdout);
  Ostrel_StopCapture();
  Ostrel_GlobalShutdown();
  {
    std::lock_guard lock(g_releaseMutex);
    if (!g_releaseLine.empty()) std::printf("at stop: %ls\n", g_releaseLine.c_str());
  }
  OstrelSim_DestroyWindow(window);
  rmdir(folder);
  return 0;
}
