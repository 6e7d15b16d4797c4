// Drives the update verifier's argument handling: which file (regular,
// empty, multi-read, directory, missing), which signature bytes and length
// (null, arbitrary, negative, the genuine one, the genuine one damaged) and
// which digest buffer (null, any capacity including negative). Aborts when
// the verifier answers outside its codes, accepts a signature it should not,
// or writes the digest buffer when it must not.
#include <fuzzer/FuzzedDataProvider.h>
#include <sodium.h>
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "update/update_key_info.h"
#include "update/update_verifier.h"

namespace {

constexpr char kSentinel = 0x5A;
constexpr size_t kMaxBuffer = 4096;

struct Target {
  std::wstring path;
  std::optional<std::array<uint8_t, 32>> digest;  // set when the file can be hashed
  std::optional<std::array<uint8_t, 64>> signature;  // genuine, when the dev key is embedded
};

struct World {
  std::string dir;
  std::vector<Target> targets;
};

World* g_world = nullptr;

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "verify_update_fuzz: %s\n", what);
  std::abort();
}

std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }

std::optional<std::array<uint8_t, 64>> DevelopmentSecretKey() {
  if (!OSTREL_UPDATE_KEY_IS_DEVELOPMENT) return std::nullopt;
  std::ifstream in(std::string(OSTREL_TEST_DATA_DIR) +
                   "/update/development_update_signing_key.seed.hex");
  std::string hex;
  in >> hex;
  std::array<uint8_t, 32> seed{};
  size_t length = 0;
  if (!in || sodium_hex2bin(seed.data(), seed.size(), hex.c_str(), hex.size(), nullptr, &length,
                            nullptr) != 0 || length != seed.size()) {
    Fail("development signing key fixture missing or malformed");
  }
  std::array<uint8_t, 32> publicKey{};
  std::array<uint8_t, 64> secretKey{};
  crypto_sign_seed_keypair(publicKey.data(), secretKey.data(), seed.data());
  return secretKey;
}

void AddFile(World& world, const std::string& name, const std::vector<uint8_t>& bytes,
             const std::optional<std::array<uint8_t, 64>>& secretKey) {
  const std::string path = world.dir + "/" + name;
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  Target target{Wide(path), std::array<uint8_t, 32>{}, std::nullopt};
  crypto_hash_sha256(target.digest->data(), bytes.data(), bytes.size());
  if (secretKey) {
    std::array<uint8_t, 64> signature{};
    crypto_sign_detached(signature.data(), nullptr, target.digest->data(), 32, secretKey->data());
    target.signature = signature;
  }
  world.targets.push_back(std::move(target));
}

void RemoveWorld() {
  if (g_world == nullptr) return;
  std::error_code ignored;
  std::filesystem::remove_all(g_world->dir, ignored);
  delete g_world;
  g_world = nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (sodium_init() < 0) Fail("sodium_init failed");
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/ostrel-update-fuzz-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) Fail("mkdtemp failed");
  g_world = new World{pattern, {}};
  std::atexit(RemoveWorld);

  const auto secretKey = DevelopmentSecretKey();
  std::vector<uint8_t> large(65537);
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<uint8_t>(i * 131 + 7);
  AddFile(*g_world, "empty.bin", {}, secretKey);
  AddFile(*g_world, "one.bin", {0x42}, secretKey);
  AddFile(*g_world, "two_reads.bin", large, secretKey);
  std::filesystem::create_directory(g_world->dir + "/folder");
  g_world->targets.push_back({Wide(g_world->dir + "/folder"), std::nullopt, std::nullopt});
  g_world->targets.push_back({Wide(g_world->dir + "/missing.bin"), std::nullopt, std::nullopt});
  g_world->targets.push_back({Wide(g_world->dir + "/one.bin/below"), std::nullopt, std::nullopt});
  g_world->targets.push_back({L"", std::nullopt, std::nullopt});
  return 0;
}

namespace {

int ConsumeLength(FuzzedDataProvider& data) {
  static constexpr int kInteresting[] = {std::numeric_limits<int>::min(), -65, -64, -1, 0, 1,
                                         63, 64, 65, 66, 128, std::numeric_limits<int>::max()};
  if (data.ConsumeBool()) return data.PickValueInArray(kInteresting);
  return data.ConsumeIntegral<int>();
}

// Heap blocks of exactly the usable size, so the sanitizer sees any overrun.
size_t BlockSize(int length) {
  return static_cast<size_t>(std::clamp<int64_t>(length, 0, kMaxBuffer));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, size_t size) {
  FuzzedDataProvider data(input, size);
  const std::vector<Target>& targets = g_world->targets;
  const Target& target = targets[data.ConsumeIntegralInRange<size_t>(0, targets.size() - 1)];

  enum class SignatureKind { kNull, kFuzzed, kGenuine, kDamaged };
  const auto kind = static_cast<SignatureKind>(data.ConsumeIntegralInRange(0, 3));
  int signatureLength = ConsumeLength(data);
  std::vector<uint8_t> signatureBlock;
  bool genuine = false;
  if (kind == SignatureKind::kGenuine || kind == SignatureKind::kDamaged) {
    if (target.signature) {
      signatureBlock.assign(target.signature->begin(), target.signature->end());
      genuine = true;
      if (kind == SignatureKind::kDamaged) {
        const size_t bit = data.ConsumeIntegralInRange<size_t>(0, 511);
        signatureBlock[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        genuine = false;
      }
      if (data.ConsumeBool()) signatureLength = 64;
    }
  }
  if (kind == SignatureKind::kFuzzed || (kind != SignatureKind::kNull && signatureBlock.empty())) {
    signatureBlock = data.ConsumeBytes<uint8_t>(BlockSize(signatureLength));
  }
  // The caller's contract: a length never exceeds the bytes behind the pointer.
  signatureBlock.resize(std::max(signatureBlock.size(), BlockSize(signatureLength)));
  if (kind == SignatureKind::kNull) signatureBlock.clear();
  const uint8_t* signature = kind == SignatureKind::kNull ? nullptr : signatureBlock.data();
  if (signature != nullptr && signatureBlock.empty()) signature = reinterpret_cast<const uint8_t*>("");

  const bool nullBuffer = data.ConsumeBool();
  const int capacity = ConsumeLength(data);
  std::vector<char> buffer(nullBuffer ? 0 : BlockSize(capacity), kSentinel);
  char* out = nullBuffer ? nullptr : buffer.data();

  const int rc = ostrel::VerifyUpdateArtifact(target.path, signature, signatureLength, out, capacity);

  if (rc != 0 && rc != 1 && rc != 3 && rc != 4) Fail("result outside 0, 1, 3, 4");
  if (!target.digest && rc != 1) Fail("an unreadable path did not give 1");
  if (target.digest && rc == 1) Fail("a readable file gave 1");
  const bool argumentsBad = signature == nullptr || signatureLength != 64;
  if (rc != 1 && argumentsBad != (rc == 3)) Fail("bad arguments not answered with exactly 3");
  const bool isGenuineSignature =
      target.signature && signature != nullptr && signatureLength == 64 &&
      std::memcmp(signature, target.signature->data(), 64) == 0;
  if (rc == 0 && !isGenuineSignature) Fail("accepted a signature that is not the genuine one");
  if (rc == 4 && genuine) Fail("rejected the genuine signature");

  const bool expectText = out != nullptr && capacity >= 65 && rc != 1;
  size_t untouchedFrom = 0;
  if (expectText) {
    char text[65];
    sodium_bin2hex(text, sizeof text, target.digest->data(), target.digest->size());
    if (std::memcmp(buffer.data(), text, sizeof text) != 0) Fail("digest text wrong");
    untouchedFrom = sizeof text;
  }
  for (size_t i = untouchedFrom; i < buffer.size(); ++i) {
    if (buffer[i] != kSentinel) Fail("digest buffer written where it must not be");
  }
  return 0;
}
