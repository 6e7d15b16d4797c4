// Update-file check of a file past 2 GiB (sparse zeros with a marker across
// the 2 GiB line, where a 32-bit signed offset would wrap): wall time, peak
// RSS growth of this process, and whether the digest matches libsodium's own
// reading of the file. Target: memory bounded by the 64 KiB reads.
#include <fcntl.h>
#include <sodium.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "update/update_verifier.h"

int main() {
  if (sodium_init() < 0) return 1;
  const std::string path = (std::filesystem::temp_directory_path() / "ostrel_update_bench.bin").string();
  constexpr unsigned long long kFileSize = (1ull << 31) + 4096;
  std::vector<unsigned char> marker(100);
  for (size_t i = 0; i < marker.size(); ++i) marker[i] = static_cast<unsigned char>(i * 7 + 1);
  const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0 || ::ftruncate(fd, static_cast<off_t>(kFileSize)) != 0 ||
      ::pwrite(fd, marker.data(), marker.size(), (1ll << 31) - 50) != 100) {
    std::perror("sparse file");
    return 1;
  }
  ::close(fd);

  rusage before{}, after{};
  getrusage(RUSAGE_SELF, &before);
  const auto start = std::chrono::steady_clock::now();
  std::array<unsigned char, 64> signature{};
  char hex[65] = {};
  const int rc = ostrel::VerifyUpdateArtifact(std::filesystem::path(path).wstring(), signature.data(), 64, hex, 65);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  getrusage(RUSAGE_SELF, &after);

  crypto_hash_sha256_state state;
  crypto_hash_sha256_init(&state);
  std::ifstream in(path, std::ios::binary);
  std::vector<char> chunk(1 << 20);
  while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
    crypto_hash_sha256_update(&state, reinterpret_cast<const unsigned char*>(chunk.data()),
                              static_cast<unsigned long long>(in.gcount()));
  }
  std::array<unsigned char, 32> digest{};
  crypto_hash_sha256_final(&state, digest.data());
  char expected[65] = {};
  sodium_bin2hex(expected, sizeof expected, digest.data(), digest.size());
  std::filesystem::remove(path);

  std::printf("2 GiB + 4 KiB update file: result %d (4 expected: zero signature), %.2f s, %.0f MB/s\n", rc, seconds,
              static_cast<double>(kFileSize) / 1e6 / seconds);
  std::printf("peak RSS growth: %ld KiB (bound: 65536)\n", after.ru_maxrss - before.ru_maxrss);
  std::printf("digest matches an independent reading: %s\n", std::string(hex) == expected ? "yes" : "NO");
  return rc == 4 && std::string(hex) == expected && after.ru_maxrss - before.ru_maxrss < 65536 ? 0 : 1;
}
