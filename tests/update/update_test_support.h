// Helpers for the update-verifier tests: a private temp folder, files, and an
// Ed25519 signer (libsodium) that can load the development key fixture.
#pragma once

#include <gtest/gtest.h>
#include <sodium.h>
#include <stdlib.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "update/update_key_info.h"
#include "update/update_verifier.h"

namespace ostrel::update_test {

using Digest = std::array<uint8_t, 32>;
using Signature = std::array<uint8_t, 64>;

inline void InitSodium() {
  if (sodium_init() < 0) throw std::runtime_error("sodium_init failed");
}

// A fresh mkdtemp folder, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/ostrel-update-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

// Deterministic, non-repeating content of the given size.
inline std::vector<uint8_t> PatternBytes(size_t size, uint32_t salt = 0) {
  std::vector<uint8_t> bytes(size);
  uint32_t state = 0x12345678u ^ salt;
  for (auto& b : bytes) {
    state = state * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(state >> 24);
  }
  return bytes;
}

inline Digest Sha256(const std::vector<uint8_t>& bytes) {
  Digest digest{};
  crypto_hash_sha256(digest.data(), bytes.data(), bytes.size());
  return digest;
}

inline std::string HexText(const uint8_t* bytes, size_t size) {
  std::string text(size * 2 + 1, '\0');
  sodium_bin2hex(text.data(), text.size(), bytes, size);
  text.pop_back();
  return text;
}

inline std::vector<uint8_t> FromHex(const std::string& hex) {
  std::vector<uint8_t> bytes(hex.size() / 2);
  size_t length = 0;
  if (sodium_hex2bin(bytes.data(), bytes.size(), hex.c_str(), hex.size(), nullptr, &length,
                     nullptr) != 0 ||
      length != bytes.size()) {
    throw std::runtime_error("bad hex: " + hex);
  }
  return bytes;
}

class Signer {
 public:
  static Signer FromSeed(const std::vector<uint8_t>& seed) {
    InitSodium();
    if (seed.size() != crypto_sign_SEEDBYTES) throw std::runtime_error("seed must be 32 bytes");
    Signer signer;
    crypto_sign_seed_keypair(signer.publicKey_.data(), signer.secretKey_.data(), seed.data());
    return signer;
  }
  // The development key pair; its public half is what a build embeds when
  // no release key is configured.
  static Signer Development() {
    std::ifstream in(std::string(OSTREL_TEST_DATA_DIR) +
                     "/update/development_update_signing_key.seed.hex");
    std::string hex;
    in >> hex;
    if (!in) throw std::runtime_error("development signing key fixture missing");
    return FromSeed(FromHex(hex));
  }
  static Signer Random() {
    InitSodium();
    Signer signer;
    crypto_sign_keypair(signer.publicKey_.data(), signer.secretKey_.data());
    return signer;
  }

  Signature Sign(const uint8_t* message, size_t size) const {
    Signature signature{};
    crypto_sign_detached(signature.data(), nullptr, message, size, secretKey_.data());
    return signature;
  }
  Signature SignDigest(const Digest& digest) const { return Sign(digest.data(), digest.size()); }

  // Ed25519ph (SHA-512 pre-hash, empty context) over the same message.
  Signature SignPrehashed(const uint8_t* message, size_t size) const {
    crypto_sign_ed25519ph_state state;
    crypto_sign_ed25519ph_init(&state);
    crypto_sign_ed25519ph_update(&state, message, size);
    Signature signature{};
    crypto_sign_ed25519ph_final_create(&state, signature.data(), nullptr, secretKey_.data());
    return signature;
  }

  const std::array<uint8_t, 32>& publicKey() const { return publicKey_; }

 private:
  std::array<uint8_t, 32> publicKey_{};
  std::array<uint8_t, 64> secretKey_{};
};

// The signing tests need the private half of the embedded key, which only
// exists for the development key.
#define OSTREL_REQUIRE_DEVELOPMENT_KEY()                                                 \
  do {                                                                                   \
    if (!OSTREL_UPDATE_KEY_IS_DEVELOPMENT)                                               \
      GTEST_SKIP() << "build embeds a release update key; signing tests need the dev key"; \
  } while (0)

inline int Verify(const std::string& path, const uint8_t* signature, int signatureLength,
                  char* hashHexOut, int hashHexOutCapacity) {
  return VerifyUpdateArtifact(std::wstring(path.begin(), path.end()), signature, signatureLength,
                              hashHexOut, hashHexOutCapacity);
}

}  // namespace ostrel::update_test
