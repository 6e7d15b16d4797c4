// Where a recording's resident memory goes: 1920x1080 window captured at
// 720p60, 6 Mbit/s, 30 s replay, desktop and microphone audio, optionally a
// save every 5 s. After the given time prints a table of the holders: the
// simulated GPU textures (video memory on a real GPU, left out of the
// figure), the rings, the allocator's blocks in use and its free slack,
// shared-library pages and the rest, and the figure that counts: resident
// memory beyond the rings and the simulated textures.
//
// usage: memory_bench [seconds=40] [save-every-5s=1]
#include <malloc.h>
#include <unistd.h>

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

#include "ostrel/ostrel.h"
#include "ostrel/ostrel_sim.h"
#include "platform/sim/sim_gpu.h"

namespace {

std::atomic<unsigned long> g_ringVideoMb{0}, g_ringAudioMb{0};

void OnLogLine(const wchar_t* line) {
  unsigned long video = 0, audio = 0;
  const wchar_t* ring = std::wcsstr(line, L"ringV=");
  if (std::wcsncmp(line, L"[DIAG-REC-MEM]", 14) == 0 && ring &&
      std::swscanf(ring, L"ringV=%luMB ringA=%luMB", &video, &audio) == 2) {
    g_ringVideoMb.store(video);
    g_ringAudioMb.store(audio);
  }
}

double Mb(double bytes) { return bytes / (1 << 20); }

// Resident kB of every mapping, by kind: heap, stacks, shared libraries (by
// file name), anonymous.
std::map<std::string, double> ResidentByMapping() {
  std::map<std::string, double> kinds;
  std::ifstream smaps("/proc/self/smaps");
  std::string line, kind;
  while (std::getline(smaps, line)) {
    if (!line.empty() && std::isxdigit(static_cast<unsigned char>(line[0])) && line.find('-') < 17) {
      // "start-end perms offset dev inode [path]"
      size_t pathAt = line.find('/');
      size_t bracketAt = line.find('[');
      if (pathAt != std::string::npos) {
        std::string path = line.substr(pathAt);
        kind = "file " + path.substr(path.rfind('/') + 1);
        if (kind.find(".so") != std::string::npos) kind = kind.substr(0, kind.find(".so") + 3);
      } else if (bracketAt != std::string::npos) {
        kind = line.substr(bracketAt);
      } else {
        kind = "anonymous";
      }
    } else if (line.rfind("Rss:", 0) == 0) {
      kinds[kind] += std::atof(line.c_str() + 4) / 1024.0;
    }
  }
  return kinds;
}

}  // namespace

int main(int argc, char** argv) {
  // The host's allocator policy (see the README's memory note): big blocks
  // go back to the system when freed, two arenas.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  mallopt(M_ARENA_MAX, 2);
  const double seconds = argc > 1 ? std::atof(argv[1]) : 40.0;
  const bool saving = argc > 2 ? std::atoi(argv[2]) != 0 : true;
  Ostrel_SetLogCallback(OnLogLine);
  OstrelSim_Reset();
  Ostrel_GlobalInitialize();
  Ostrel_SetAudioSettings(0.6f, 0.6f, false, false, nullptr, nullptr);
  void* window = OstrelSim_CreateWindow(1920, 1080);
  OstrelSim_SetWindowContentRate(window, 60.0);
  if (Ostrel_StartCapture(window, false, 720, 60, 6000000, 30) != 0) {
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
  std::this_thread::sleep_for(std::chrono::seconds(11));  // a fresh ring line
  const struct mallinfo2 heap = mallinfo2();
  const auto mappings = ResidentByMapping();
  long pages = 0, resident = 0;
  if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(statm);
  }
  const double rss = Mb(static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)));
  const double textures = Mb(static_cast<double>(ostrel::sim::LiveTextureBytes()));
  const double ringVideo = static_cast<double>(g_ringVideoMb.load()), ringAudio = static_cast<double>(g_ringAudioMb.load());
  std::printf("recording 1920x1080 -> 720p60, 6 Mbit/s, 30 s replay, both audio sources, %.0f s, %d saves\n", seconds,
              saves);
  std::printf("  %-44s %8.1f MB\n", "resident memory", rss);
  std::printf("  %-44s %8.1f MB  (video memory on a GPU: left out)\n", "simulated GPU textures", textures);
  std::printf("  %-44s %8.1f MB\n", "video ring", ringVideo);
  std::printf("  %-44s %8.1f MB\n", "audio rings", ringAudio);
  std::printf("  %-44s %8.1f MB  (textures and ring blocks are among them)\n", "allocator: large blocks (own mappings)",
              Mb(static_cast<double>(heap.hblkhd)));
  std::printf("  %-44s %8.1f MB\n", "allocator: small blocks in use (arenas)", Mb(static_cast<double>(heap.uordblks)));
  std::printf("  %-44s %8.1f MB\n", "allocator: free in arenas (slack)", Mb(static_cast<double>(heap.fordblks)));
  std::printf("  resident by mapping (top 8):\n");
  std::multimap<double, std::string, std::greater<>> ordered;
  for (const auto& [kind, mb] : mappings) ordered.emplace(mb, kind);
  int shown = 0;
  for (const auto& [mb, kind] : ordered) {
    if (shown++ == 8) break;
    std::printf("    %-42s %8.1f MB\n", kind.c_str(), mb);
  }
  std::printf("  %-44s %8.1f MB  (target <= 60)\n", "beyond the rings and simulated textures",
              rss - textures - ringVideo - ringAudio);
  Ostrel_StopCapture();
  OstrelSim_DestroyWindow(window);
  Ostrel_GlobalShutdown();
  rmdir(folder);
  return 0;
}
