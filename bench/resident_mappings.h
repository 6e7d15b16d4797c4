// Resident memory by mapping (/proc/self/smaps), and the part of it in the
// libraries Debian's FFmpeg loads that a recording never runs: the memory
// benches leave those out of the recorder's own figure.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

namespace bench {

// Resident MB of every mapping, by kind: heap, stacks, shared libraries (by
// file name), anonymous; "(private)" sums the pages no other process shares.
inline std::map<std::string, double> ResidentByMapping() {
  std::map<std::string, double> kinds;
  std::ifstream smaps("/proc/self/smaps");
  std::string line, kind, lastFile;
  unsigned long lastEnd = 0;
  while (std::getline(smaps, line)) {
    if (!line.empty() && std::isxdigit(static_cast<unsigned char>(line[0])) && line.find('-') < 17) {
      // "start-end perms offset dev inode [path]"
      const unsigned long start = std::strtoul(line.c_str(), nullptr, 16);
      const unsigned long end = std::strtoul(line.c_str() + line.find('-') + 1, nullptr, 16);
      size_t pathAt = line.find('/');
      size_t bracketAt = line.find('[');
      if (pathAt != std::string::npos) {
        std::string path = line.substr(pathAt);
        kind = "file " + path.substr(path.rfind('/') + 1);
        if (kind.find(".so") != std::string::npos) kind = kind.substr(0, kind.find(".so") + 3);
        lastFile = kind;
      } else if (bracketAt != std::string::npos) {
        kind = line.substr(bracketAt);
        lastFile.clear();
      } else if (!lastFile.empty() && start == lastEnd) {
        // Zero-filled data right behind a library: its static tables.
        kind = "static data " + lastFile.substr(5);
        lastFile.clear();
      } else {
        kind = "anonymous";
        lastFile.clear();
      }
      lastEnd = end;
    } else if (line.rfind("Rss:", 0) == 0) {
      kinds[kind] += std::atof(line.c_str() + 4) / 1024.0;
    } else if (line.rfind("Private_Clean:", 0) == 0 || line.rfind("Private_Dirty:", 0) == 0) {
      kinds["(private)"] += std::atof(line.c_str() + 14) / 1024.0;
    }
  }
  return kinds;
}

inline double FilesMb(const std::map<std::string, double>& mappings) {
  double files = 0;
  for (const auto& [kind, mb] : mappings) {
    if (kind.rfind("file ", 0) == 0) files += mb;
  }
  return files;
}

// The code a recording runs: this program (the library is linked in), FFmpeg's
// own libraries, the encoder, libsodium and the C and C++ runtime. Debian's
// FFmpeg also loads 123 more libraries for codecs, formats and protocols the
// recorder never uses (libx265, librsvg, libopenmpt, gnutls, ...); the Windows
// DLL carries its FFmpeg inside its own 6 MB image and imports only system
// DLLs, so those libraries' pages are reported apart, like the textures.
inline bool RunsTheRecording(const std::string& library) {
  static const char* const kNames[] = {"libostrel", "libavcodec.", "libavformat.", "libavutil.", "libswscale.",
                                       "libswresample.", "libx264.", "libsodium.", "libc.", "libm.",
                                       "libstdc++.", "libgcc_s.", "ld-linux"};
  if (library.find(".so") == std::string::npos) return true;  // this program, other files
  return std::any_of(std::begin(kNames), std::end(kNames),
                     [&](const char* name) { return library.rfind(name, 0) == 0; });
}

// Resident MB of the libraries (their files and zero-filled static data) that
// Debian's FFmpeg loads and the recording never runs.
inline double UnusedLibrariesMb(const std::map<std::string, double>& mappings) {
  double unused = 0;
  for (const auto& [kind, mb] : mappings) {
    for (const std::string prefix : {"file ", "static data "}) {
      if (kind.rfind(prefix, 0) == 0 && !RunsTheRecording(kind.substr(prefix.size()))) unused += mb;
    }
  }
  return unused;
}


}  // namespace bench
