// Ostrel_VerifyUpdateArtifact on Windows: the DLL hashes through CNG and
// verifies with its built-in key; this side signs with libsodium, from the
// development key's published seed, files it writes into the prefix. The
// arguments' checks are the shared core's, tested on Linux; here what the
// Windows file and crypto calls decide.
#include <sodium.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "check.h"
#include "checks.h"
#include "core_api.h"
#include "update/update_key_info.h"

namespace ostrel::winhost {
namespace {

using Digest = std::array<uint8_t, 32>;
using Signature = std::array<uint8_t, 64>;
using SecretKey = std::array<uint8_t, 64>;

const std::string kUntouched(80, '#');

std::vector<uint8_t> PatternBytes(size_t size, uint32_t seed = 1) {
  std::vector<uint8_t> bytes(size);
  uint32_t x = seed * 2654435761u + 1;
  for (uint8_t& b : bytes) {
    x = x * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(x >> 24);
  }
  return bytes;
}

Digest Sha256(const std::vector<uint8_t>& bytes) {
  Digest digest{};
  crypto_hash_sha256(digest.data(), bytes.data(), bytes.size());
  return digest;
}

std::string Hex(const Digest& digest) {
  char text[65];
  sodium_bin2hex(text, sizeof text, digest.data(), digest.size());
  return text;
}

SecretKey KeyFromSeed(const uint8_t* seed) {
  std::array<uint8_t, 32> publicKey{};
  SecretKey secret{};
  crypto_sign_seed_keypair(publicKey.data(), secret.data(), seed);
  return secret;
}

Signature Sign(const SecretKey& key, const uint8_t* message, size_t size) {
  Signature signature{};
  crypto_sign_detached(signature.data(), nullptr, message, size, key.data());
  return signature;
}

class Files {
 public:
  Files() {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    folder_ = std::wstring(base) + L"ostrel-update-\u00e9\u4e2d";  // a name only UTF-16 can carry
    CreateDirectoryW(folder_.c_str(), nullptr);
  }
  const std::wstring& folder() const { return folder_; }

  std::wstring Write(const std::vector<uint8_t>& bytes) {
    std::wstring path = folder_ + L"\\file-" + std::to_wstring(++count_) + L".bin";
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    if (file != INVALID_HANDLE_VALUE) {
      if (!bytes.empty()) WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
      CloseHandle(file);
    }
    return path;
  }

 private:
  std::wstring folder_;
  int count_ = 0;
};

// "rc digest-text" with the untouched tail of the buffer left out.
std::string Verify(const CoreApi& core, const std::wstring& path, const uint8_t* signature, int length,
                  int capacity = 80) {
  std::string buffer = kUntouched;
  int rc = core.VerifyUpdateArtifact(path.c_str(), signature, length, buffer.data(), capacity);
  const size_t end = buffer.find('\0');
  if (end != std::string::npos) {
    if (buffer.substr(end + 1) != kUntouched.substr(end + 1)) return "buffer written past the digest";
    buffer.resize(end);
  }
  return std::to_string(rc) + " " + buffer;
}

void CheckSigned(const CoreApi& core, const SecretKey& key) {
  Files files;
  Group("update files: valid signatures around the 64 KiB read size");
  for (size_t size : {0, 1, 65535, 65536, 65537, 3 * 65536 + 7}) {
    const std::vector<uint8_t> bytes = PatternBytes(size, static_cast<uint32_t>(size));
    const Digest digest = Sha256(bytes);
    const Signature signature = Sign(key, digest.data(), digest.size());
    CHECK_MSG(Verify(core, files.Write(bytes), signature.data(), 64) == "0 " + Hex(digest),
              "size " + std::to_string(size));
  }

  Group("update files: bad signatures still give the digest");
  const std::vector<uint8_t> bytes = PatternBytes(1000);
  const std::wstring path = files.Write(bytes);
  const Digest digest = Sha256(bytes);
  const std::string hex = Hex(digest);
  const Signature valid = Sign(key, digest.data(), digest.size());
  for (int bit : {0, 511}) {
    Signature flipped = valid;
    flipped[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    CHECK_MSG(Verify(core, path, flipped.data(), 64) == "4 " + hex, "bit " + std::to_string(bit));
  }
  CHECK(Verify(core, path, valid.data(), 63) == "3 " + hex);
  const Signature overBytes = Sign(key, bytes.data(), bytes.size());
  CHECK(Verify(core, path, overBytes.data(), 64) == "4 " + hex);
  const uint8_t otherSeed[32] = {7};
  const Signature otherKey = Sign(KeyFromSeed(otherSeed), digest.data(), digest.size());
  CHECK(Verify(core, path, otherKey.data(), 64) == "4 " + hex);

  Group("update files: changed, missing, locked and folder paths");
  std::vector<uint8_t> changed = bytes;
  changed[999] ^= 1;
  CHECK(Verify(core, files.Write(changed), valid.data(), 64) == "4 " + Hex(Sha256(changed)));
  CHECK(Verify(core, files.folder() + L"\\missing.bin", valid.data(), 64) == "1 " + kUntouched);
  CHECK(Verify(core, files.folder(), valid.data(), 64) == "1 " + kUntouched);
  HANDLE locked = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  CHECK(locked != INVALID_HANDLE_VALUE);
  CHECK_MSG(Verify(core, path, valid.data(), 64) == "1 " + kUntouched, "a file opened without sharing");
  CloseHandle(locked);
  CHECK(Verify(core, path, valid.data(), 64) == "0 " + hex);
}

}  // namespace

void RunUpdateChecks(const CoreApi& core) {
  if (!CHECK(sodium_init() >= 0)) return;
  if (!OSTREL_UPDATE_KEY_IS_DEVELOPMENT) {
    std::printf("the build embeds a release update key: signed update checks skipped\n");
    return;
  }
  uint8_t seed[32];
  const char* seedHex = OSTREL_TEST_DEVELOPMENT_SEED_HEX;
  if (!CHECK(sodium_hex2bin(seed, sizeof seed, seedHex, 64, nullptr, nullptr, nullptr) == 0)) return;
  CheckSigned(core, KeyFromSeed(seed));
}

}  // namespace ostrel::winhost
