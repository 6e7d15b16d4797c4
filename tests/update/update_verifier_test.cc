#include "update/update_verifier.h"

#include <gtest/gtest.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <thread>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "update/masked_key.h"
#include "update/update_key_info.h"

namespace ostrel {
namespace {

using Digest = std::array<uint8_t, 32>;
using Signature = std::array<uint8_t, 64>;
using SecretKey = std::array<uint8_t, 64>;

constexpr char kEmptySha256[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
// The digest buffer is 100 bytes of this, to see exactly what was written.
const std::string kUntouched(100, 'X');

// Deterministic, non-repeating content, so a skipped or repeated read shows.
std::vector<uint8_t> PatternBytes(size_t size, uint32_t state = 0x12345678u) {
  std::vector<uint8_t> bytes(size);
  for (auto& b : bytes) b = static_cast<uint8_t>((state = state * 1664525u + 1013904223u) >> 24);
  return bytes;
}

Digest Sha256(const std::vector<uint8_t>& bytes) {
  Digest digest{};
  crypto_hash_sha256(digest.data(), bytes.data(), bytes.size());
  return digest;
}

std::string Hex(const std::array<uint8_t, 32>& bytes) {
  char text[65];
  return sodium_bin2hex(text, sizeof text, bytes.data(), bytes.size());
}

SecretKey KeyFromSeed(const Digest& seed) {
  std::array<uint8_t, 32> publicKey{};
  SecretKey secretKey{};
  crypto_sign_seed_keypair(publicKey.data(), secretKey.data(), seed.data());
  return secretKey;
}

Signature Sign(const SecretKey& key, const uint8_t* message, size_t size) {
  Signature signature{};
  crypto_sign_detached(signature.data(), nullptr, message, size, key.data());
  return signature;
}

std::wstring Wide(const std::string& path) { return std::wstring(path.begin(), path.end()); }

// The return code and the whole digest buffer after one call.
struct Outcome {
  int rc;
  std::string buffer;
  // The code and the digest text in one string, for one expectation each.
  std::string Summary() const { return std::to_string(rc) + " " + buffer.substr(0, buffer.find('\0')); }
};

Outcome Check(const std::string& path, const uint8_t* signature, int length, int capacity = 65) {
  std::string buffer = kUntouched;
  return {VerifyUpdateArtifact(Wide(path), signature, length, buffer.data(), capacity), buffer};
}

// Signing needs the private half of the embedded key, which only exists for
// the development key.
class SignedUpdateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!OSTREL_UPDATE_KEY_IS_DEVELOPMENT) GTEST_SKIP() << "build embeds a release update key";
    ASSERT_GE(sodium_init(), 0);
    std::string pattern = std::filesystem::temp_directory_path().string() + "/ostrel-update-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    std::ifstream in(std::string(OSTREL_TEST_DATA_DIR) + "/update/development_update_signing_key.seed.hex");
    std::string hex;
    Digest seed{};
    ASSERT_TRUE(in >> hex && hex.size() == 64 &&
                sodium_hex2bin(seed.data(), 32, hex.c_str(), 64, nullptr, nullptr, nullptr) == 0)
        << "development signing key fixture missing or malformed";
    key_ = KeyFromSeed(seed);
  }
  void TearDown() override {
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }
  std::string File(const std::string& name) const { return dir_ + "/" + name; }
  std::string WriteFile(const std::vector<uint8_t>& bytes) const {
    const std::string path = File("update.bin");
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    return path;
  }
  Signature SignDigestOf(const std::vector<uint8_t>& bytes) const { return Sign(key_, Sha256(bytes).data(), 32); }

  std::string dir_;
  SecretKey key_{};
};

// Sizes around the 64 KiB read size: empty, one byte, one short of a read,
// exactly one read, one over, and several reads plus a tail.
TEST_F(SignedUpdateTest, ValidSignatureAcrossReadBoundariesWritesDigestText) {
  for (size_t size : {0, 1, 65535, 65536, 65537, 3 * 65536 + 7}) {
    SCOPED_TRACE(size);
    const std::vector<uint8_t> bytes = PatternBytes(size, static_cast<uint32_t>(size));
    const Signature signature = SignDigestOf(bytes);
    const Outcome out = Check(WriteFile(bytes), signature.data(), 64);
    EXPECT_EQ(out.Summary(), std::string("0 ") + (size == 0 ? kEmptySha256 : Hex(Sha256(bytes))));
    EXPECT_EQ(out.buffer.substr(65), kUntouched.substr(65));
  }
}

TEST_F(SignedUpdateTest, BadSignatureOrArgumentsStillWriteTheDigest) {
  const std::vector<uint8_t> bytes = PatternBytes(1000);
  const std::string path = WriteFile(bytes);
  const Signature signature = SignDigestOf(bytes);
  const std::string expected = Hex(Sha256(bytes));
  // Bits in R, in the low and high parts of S, and the top bit of S.
  for (int bit : {0, 9, 255, 256, 300, 503, 510, 511}) {
    SCOPED_TRACE(bit);
    Signature flipped = signature;
    flipped[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    EXPECT_EQ(Check(path, flipped.data(), 64).Summary(), "4 " + expected);
  }
  // One spare byte so the 65-byte case reads valid memory; the first 64 bytes
  // are the valid signature, so only the length can be at fault.
  std::array<uint8_t, 65> padded{};
  std::memcpy(padded.data(), signature.data(), signature.size());
  for (int length : {63, 65, 0, -64, -1, 128}) {
    SCOPED_TRACE(length);
    EXPECT_EQ(Check(path, padded.data(), length).Summary(), "3 " + expected);
  }
  EXPECT_EQ(Check(path, nullptr, 64).Summary(), "3 " + expected);
}

// Nothing is written to a buffer without room for the text and its end, nor
// for a file that cannot be read (hashing comes first: a missing file beats
// bad arguments).
TEST_F(SignedUpdateTest, NoRoomOrAnUnreadableFileLeavesTheBufferUntouched) {
  const std::string path = WriteFile(PatternBytes(4096));
  const Signature signature = SignDigestOf(PatternBytes(4096));
  for (int capacity : {64, 0, -65}) {
    EXPECT_EQ(Check(path, signature.data(), 64, capacity).Summary(), "0 " + kUntouched) << capacity;
  }
  EXPECT_EQ(VerifyUpdateArtifact(Wide(path), signature.data(), 64, nullptr, 65), 0);  // no buffer at all is fine
  for (const std::string& unreadable : {File("missing.bin"), dir_}) {
    EXPECT_EQ(Check(unreadable, signature.data(), 64).Summary(), "1 " + kUntouched) << unreadable;
    EXPECT_EQ(Check(unreadable, nullptr, 0).Summary(), "1 " + kUntouched) << unreadable;
  }
  if (::geteuid() == 0) return;  // root reads files regardless of permissions
  ASSERT_EQ(::chmod(path.c_str(), 0), 0);
  EXPECT_EQ(Check(path, signature.data(), 64).Summary(), "1 " + kUntouched);
}

TEST_F(SignedUpdateTest, OnlyTheBuiltInKeyOverTheDigestVerifies) {
  const std::vector<uint8_t> bytes = PatternBytes(5000);
  const std::string path = WriteFile(bytes);
  const Signature valid = SignDigestOf(bytes);
  const Digest digest = Sha256(bytes);
  ASSERT_EQ(Check(path, valid.data(), 64).rc, 0);

  Signature prehashed{};  // Ed25519ph: SHA-512 pre-hash, empty context
  crypto_sign_ed25519ph_state state;
  crypto_sign_ed25519ph_init(&state);
  crypto_sign_ed25519ph_update(&state, digest.data(), digest.size());
  crypto_sign_ed25519ph_final_create(&state, prehashed.data(), nullptr, key_.data());

  const std::pair<const char*, Signature> wrong[] = {
      {"over the file bytes", Sign(key_, bytes.data(), bytes.size())},
      {"by another key", Sign(KeyFromSeed(Digest{7}), digest.data(), digest.size())},
      {"Ed25519ph", prehashed},
  };
  for (const auto& [what, signature] : wrong) {
    SCOPED_TRACE(what);
    EXPECT_EQ(Check(path, signature.data(), 64).rc, 4);
  }
}

// The masked bytes come from CMake arithmetic at configure time, the unmasking
// from C++ at run time; this is where the two must meet.
// Whether some descriptor of this process has `path` open; with
// `deletedToo`, also as "path (deleted)" (the name since taken by another
// file).
bool OpenInThisProcess(const std::string& path, bool deletedToo) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
    char target[4096];
    const ssize_t length = ::readlink(entry.path().c_str(), target, sizeof target - 1);
    if (length <= 0) continue;
    const std::string name(target, static_cast<size_t>(length));
    if (name == path || (deletedToo && name == path + " (deleted)")) return true;
  }
  return false;
}

// A file renamed over the path, or written in place, while the check hashes
// it: the digest would stand for content no longer there, so the result is
// 1; the file at the path afterwards is judged on its own content.
TEST_F(SignedUpdateTest, AFileReplacedOrWrittenWhileItIsHashedIsRefused) {
  const std::vector<uint8_t> bytes = PatternBytes(64u << 20);
  const Signature signature = SignDigestOf(bytes);
  for (const bool rename : {true, false}) {
    SCOPED_TRACE(rename ? "renamed over" : "written in place");
    const std::string path = WriteFile(bytes);
    const std::string other = File("other.bin");
    std::ofstream(other, std::ios::binary) << "another file";
    std::atomic<int> result{-1};
    std::thread checker([&] { result = VerifyUpdateArtifact(Wide(path), signature.data(), 64, nullptr, 0); });
    bool changedWhileOpen = false;
    while (result.load() == -1) {
      if (!OpenInThisProcess(path, false)) continue;
      if (rename) {
        EXPECT_EQ(std::rename(other.c_str(), path.c_str()), 0);
      } else {
        std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(1000);
        file.put('!');
      }
      changedWhileOpen = OpenInThisProcess(path, true);
      break;
    }
    checker.join();
    ASSERT_TRUE(changedWhileOpen) << "the hash ended before the file changed; nothing was shown";
    EXPECT_EQ(result.load(), 1);
    EXPECT_EQ(Check(path, signature.data(), 64).rc, 4);
  }
  // Left alone, the same file verifies.
  EXPECT_EQ(Check(WriteFile(bytes), signature.data(), 64).rc, 0);
}

TEST(MaskedKey, GeneratedRecordUnmasksToConfiguredKey) {
  EXPECT_EQ(Hex(UnmaskKey(kUpdateMaskedKey)), OSTREL_UPDATE_PUBLIC_KEY_HEX);
}

}  // namespace
}  // namespace ostrel
