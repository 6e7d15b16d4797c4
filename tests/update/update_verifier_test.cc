#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "update_test_support.h"

namespace ostrel::update_test {
namespace {

constexpr char kEmptySha256[] = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr char kSentinel = 'X';

// A 100-byte digest buffer pre-filled with a sentinel, to see exactly what
// the verifier wrote.
struct DigestBuffer {
  DigestBuffer() { std::memset(bytes, kSentinel, sizeof bytes); }
  bool Untouched() const {
    for (char c : bytes)
      if (c != kSentinel) return false;
    return true;
  }
  // The text up to the terminator, never reading past the buffer.
  std::string Text() const { return std::string(bytes, strnlen(bytes, sizeof bytes)); }
  char bytes[100];
};

class UpdateVerifierTest : public ::testing::Test {
 protected:
  void SetUp() override {
    OSTREL_REQUIRE_DEVELOPMENT_KEY();
    signer_ = Signer::Development();
  }

  // Writes `bytes` to a file and returns its path and a valid signature.
  std::string SignedFile(const std::string& name, const std::vector<uint8_t>& bytes,
                         Signature* signature) {
    const std::string path = dir_.File(name);
    WriteFile(path, bytes);
    *signature = signer_.SignDigest(Sha256(bytes));
    return path;
  }

  TempDir dir_;
  Signer signer_;
};

TEST_F(UpdateVerifierTest, EmptyFileWithSignatureOverEmptyDigestVerifies) {
  Signature signature;
  const std::string path = SignedFile("empty.bin", {}, &signature);
  DigestBuffer out;
  EXPECT_EQ(Verify(path, signature.data(), 64, out.bytes, 65), 0);
  EXPECT_EQ(out.Text(), kEmptySha256);
  EXPECT_EQ(out.bytes[65], kSentinel);
}

class UpdateVerifierSizeTest : public UpdateVerifierTest,
                               public ::testing::WithParamInterface<size_t> {};

// Sizes around the 64 KiB read size: empty, one byte, one short of a read,
// exactly one read, one over, and several reads plus a tail.
TEST_P(UpdateVerifierSizeTest, DigestMatchesOneShotHashAndSignatureVerifies) {
  const std::vector<uint8_t> bytes = PatternBytes(GetParam(), static_cast<uint32_t>(GetParam()));
  Signature signature;
  const std::string path = SignedFile("sized.bin", bytes, &signature);
  DigestBuffer out;
  ASSERT_EQ(Verify(path, signature.data(), 64, out.bytes, 65), 0);
  const Digest expected = Sha256(bytes);
  EXPECT_EQ(out.Text(), HexText(expected.data(), expected.size()));
}

INSTANTIATE_TEST_SUITE_P(ReadBoundaries, UpdateVerifierSizeTest,
                         ::testing::Values(size_t{0}, size_t{1}, size_t{65535}, size_t{65536},
                                           size_t{65537}, size_t{3 * 65536 + 7}));

TEST_F(UpdateVerifierTest, AnyFlippedSignatureBitFailsWithDigestStillWritten) {
  const std::vector<uint8_t> bytes = PatternBytes(1000);
  Signature signature;
  const std::string path = SignedFile("flip.bin", bytes, &signature);
  const Digest digest = Sha256(bytes);
  // Bits in R, in the low and high parts of S, and the top bit of S.
  for (int bit : {0, 9, 255, 256, 300, 503, 510, 511}) {
    SCOPED_TRACE(bit);
    Signature flipped = signature;
    flipped[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    DigestBuffer out;
    EXPECT_EQ(Verify(path, flipped.data(), 64, out.bytes, 65), 4);
    EXPECT_EQ(out.Text(), HexText(digest.data(), digest.size()));
  }
}

TEST_F(UpdateVerifierTest, WrongSignatureLengthOrNullSignatureIsBadArgumentsAfterDigest) {
  const std::vector<uint8_t> bytes = PatternBytes(777);
  Signature signature;
  const std::string path = SignedFile("length.bin", bytes, &signature);
  const Digest digest = Sha256(bytes);
  const std::string expectedText = HexText(digest.data(), digest.size());

  // One spare byte so the 65-byte case reads valid memory; the first 64 bytes
  // are a valid signature, so only the length can be at fault.
  std::array<uint8_t, 65> padded{};
  std::copy(signature.begin(), signature.end(), padded.begin());
  for (int length : {63, 65, 0, -64, -1, 128}) {
    SCOPED_TRACE(length);
    DigestBuffer out;
    EXPECT_EQ(Verify(path, padded.data(), length, out.bytes, 65), 3);
    EXPECT_EQ(out.Text(), expectedText);
  }

  DigestBuffer out;
  EXPECT_EQ(Verify(path, nullptr, 64, out.bytes, 65), 3);
  EXPECT_EQ(out.Text(), expectedText);
  EXPECT_EQ(out.bytes[65], kSentinel);
}

TEST_F(UpdateVerifierTest, DigestTextNeedsRoomForTerminator) {
  const std::vector<uint8_t> bytes = PatternBytes(4096);
  Signature signature;
  const std::string path = SignedFile("capacity.bin", bytes, &signature);
  const Digest digest = Sha256(bytes);

  for (int capacity : {64, 1, 0, -1, -65}) {
    SCOPED_TRACE(capacity);
    DigestBuffer out;
    EXPECT_EQ(Verify(path, signature.data(), 64, out.bytes, capacity), 0);
    EXPECT_TRUE(out.Untouched());
  }

  DigestBuffer exact;
  EXPECT_EQ(Verify(path, signature.data(), 64, exact.bytes, 65), 0);
  EXPECT_EQ(std::string(exact.bytes, 64), HexText(digest.data(), digest.size()));
  EXPECT_EQ(exact.bytes[64], '\0');
  EXPECT_EQ(exact.bytes[65], kSentinel);

  // A large buffer gets the same 65 bytes and nothing beyond them.
  DigestBuffer large;
  EXPECT_EQ(Verify(path, signature.data(), 64, large.bytes, 100), 0);
  EXPECT_EQ(std::memcmp(large.bytes, exact.bytes, sizeof exact.bytes), 0);

  // No buffer at all is fine whatever the capacity says.
  EXPECT_EQ(Verify(path, signature.data(), 64, nullptr, 65), 0);
}

TEST_F(UpdateVerifierTest, UnreadablePathsFailBeforeTouchingTheBuffer) {
  const std::array<uint8_t, 64> anySignature{};
  const std::string missing = dir_.File("missing.bin");
  {
    DigestBuffer out;
    EXPECT_EQ(Verify(missing, anySignature.data(), 64, out.bytes, 65), 1);
    EXPECT_TRUE(out.Untouched());
  }
  {
    // A missing file beats bad arguments: hashing comes first.
    DigestBuffer out;
    EXPECT_EQ(Verify(missing, nullptr, 0, out.bytes, 65), 1);
    EXPECT_TRUE(out.Untouched());
  }
  {
    DigestBuffer out;
    EXPECT_EQ(Verify(dir_.path(), anySignature.data(), 64, out.bytes, 65), 1);
    EXPECT_TRUE(out.Untouched());
  }
  {
    DigestBuffer out;
    EXPECT_EQ(Verify("", anySignature.data(), 64, out.bytes, 65), 1);
    EXPECT_TRUE(out.Untouched());
  }
  {
    // A path through a regular file is not a path to anything.
    Signature signature;
    const std::string file = SignedFile("plain.bin", PatternBytes(10), &signature);
    DigestBuffer out;
    EXPECT_EQ(Verify(file + "/inner.bin", signature.data(), 64, out.bytes, 65), 1);
    EXPECT_TRUE(out.Untouched());
  }
}

TEST_F(UpdateVerifierTest, FileWithoutReadPermissionFails) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads files regardless of permissions";
  Signature signature;
  const std::string path = SignedFile("locked.bin", PatternBytes(100), &signature);
  ASSERT_EQ(::chmod(path.c_str(), 0), 0);
  DigestBuffer out;
  EXPECT_EQ(Verify(path, signature.data(), 64, out.bytes, 65), 1);
  EXPECT_TRUE(out.Untouched());
}

TEST_F(UpdateVerifierTest, NonAsciiPathIsOpened) {
  const std::vector<uint8_t> bytes = PatternBytes(300);
  // "обновление-ü.bin" in UTF-8 on disk, handed over as wide text.
  const std::string narrowName =
      "\xd0\xbe\xd0\xb1\xd0\xbd\xd0\xbe\xd0\xb2\xd0\xbb\xd0\xb5\xd0\xbd\xd0\xb8\xd0\xb5-\xc3\xbc.bin";
  const std::wstring wideName = L"\u043e\u0431\u043d\u043e\u0432\u043b\u0435\u043d\u0438\u0435-\u00fc.bin";
  WriteFile(dir_.File(narrowName), bytes);
  const Signature signature = signer_.SignDigest(Sha256(bytes));
  const std::string base = dir_.path() + "/";
  EXPECT_EQ(VerifyUpdateArtifact(std::wstring(base.begin(), base.end()) + wideName,
                                 signature.data(), 64, nullptr, 0),
            0);
}

TEST_F(UpdateVerifierTest, ChangedFileNoLongerVerifies) {
  std::vector<uint8_t> bytes = PatternBytes(200000);
  Signature signature;
  const std::string path = SignedFile("changed.bin", bytes, &signature);
  ASSERT_EQ(Verify(path, signature.data(), 64, nullptr, 0), 0);

  struct Change {
    const char* what;
    void (*apply)(std::vector<uint8_t>&);
  };
  const Change changes[] = {
      {"first byte", [](std::vector<uint8_t>& b) { b[0] ^= 1; }},
      {"byte in second read", [](std::vector<uint8_t>& b) { b[70000] ^= 0x80; }},
      {"last byte", [](std::vector<uint8_t>& b) { b.back() ^= 1; }},
      {"appended byte", [](std::vector<uint8_t>& b) { b.push_back(0); }},
      {"truncated", [](std::vector<uint8_t>& b) { b.pop_back(); }},
  };
  for (const Change& change : changes) {
    SCOPED_TRACE(change.what);
    std::vector<uint8_t> altered = bytes;
    change.apply(altered);
    WriteFile(path, altered);
    DigestBuffer out;
    EXPECT_EQ(Verify(path, signature.data(), 64, out.bytes, 65), 4);
    const Digest digest = Sha256(altered);
    EXPECT_EQ(out.Text(), HexText(digest.data(), digest.size()));
  }
}

TEST_F(UpdateVerifierTest, SignaturesOverAnythingButTheDigestWithTheBuiltInKeyFail) {
  const std::vector<uint8_t> bytes = PatternBytes(5000);
  const std::string path = dir_.File("target.bin");
  WriteFile(path, bytes);
  const Digest digest = Sha256(bytes);

  const Signature overFileBytes = signer_.Sign(bytes.data(), bytes.size());
  EXPECT_EQ(Verify(path, overFileBytes.data(), 64, nullptr, 0), 4);

  const Digest otherDigest = Sha256(PatternBytes(5000, 1));
  const Signature overOtherDigest = signer_.SignDigest(otherDigest);
  EXPECT_EQ(Verify(path, overOtherDigest.data(), 64, nullptr, 0), 4);

  const Signature byOtherKey = Signer::Random().SignDigest(digest);
  EXPECT_EQ(Verify(path, byOtherKey.data(), 64, nullptr, 0), 4);

  const Signature prehashed = signer_.SignPrehashed(digest.data(), digest.size());
  EXPECT_EQ(Verify(path, prehashed.data(), 64, nullptr, 0), 4);

  // The control: the same key over the digest itself.
  EXPECT_EQ(Verify(path, signer_.SignDigest(digest).data(), 64, nullptr, 0), 0);
}

// S + L satisfies the verification equation exactly as S does; accepting it
// would make signatures malleable.
TEST_F(UpdateVerifierTest, NonCanonicalScalarIsRejected) {
  const std::vector<uint8_t> bytes = PatternBytes(64);
  Signature signature;
  const std::string path = SignedFile("malleable.bin", bytes, &signature);
  ASSERT_EQ(Verify(path, signature.data(), 64, nullptr, 0), 0);

  // L = 2^252 + 27742317777372353535851937790883648493, little endian.
  static constexpr uint8_t kGroupOrder[32] = {
      0xed, 0xd3, 0xf5, 0x5c, 0x1a, 0x63, 0x12, 0x58, 0xd6, 0x9c, 0xf7, 0xa2, 0xde, 0xf9, 0xde, 0x14,
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x10};
  Signature shifted = signature;
  unsigned carry = 0;
  for (int i = 0; i < 32; ++i) {
    const unsigned sum = shifted[32 + i] + kGroupOrder[i] + carry;
    shifted[32 + i] = static_cast<uint8_t>(sum);
    carry = sum >> 8;
  }
  ASSERT_EQ(carry, 0u);
  EXPECT_EQ(Verify(path, shifted.data(), 64, nullptr, 0), 4);

  // Trivial forgeries: all zeros, and the identity point as R with S = 0.
  Signature zeros{};
  EXPECT_EQ(Verify(path, zeros.data(), 64, nullptr, 0), 4);
  Signature identity{};
  identity[0] = 1;
  EXPECT_EQ(Verify(path, identity.data(), 64, nullptr, 0), 4);
}

TEST_F(UpdateVerifierTest, ParallelCallsAgree) {
  const std::vector<uint8_t> bytes = PatternBytes(300000);
  Signature signature;
  const std::string path = SignedFile("parallel.bin", bytes, &signature);
  Signature bad = signature;
  bad[40] ^= 4;
  const Digest digest = Sha256(bytes);
  const std::string expectedText = HexText(digest.data(), digest.size());

  constexpr int kThreads = 4, kRounds = 10;
  std::array<int, kThreads> failures{};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < kRounds; ++round) {
        char out[65];
        const bool valid = (t + round) % 2 == 0;
        const int rc = Verify(path, valid ? signature.data() : bad.data(), 64, out, sizeof out);
        if (rc != (valid ? 0 : 4) || expectedText != out) ++failures[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(failures[t], 0) << "thread " << t;
}

// A sanity check of the primitive itself: RFC 8032, 7.1, TEST 1.
TEST(Ed25519Primitive, AcceptsRfc8032EmptyMessageVector) {
  InitSodium();
  const Signer signer =
      Signer::FromSeed(FromHex("9d61b19deffd5a60ba844af492ec2cc44449c5697b326919703bac031cae7f60"));
  EXPECT_EQ(HexText(signer.publicKey().data(), 32),
            "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a");
  const std::vector<uint8_t> signature = FromHex(
      "e5564300c360ac729086e2cc806e828a84877f1eb8e5d974d873e065224901555fb8821590a33bacc61e39701cf9b46b"
      "d25bf5f0595bbe24655141438e7a100b");
  const uint8_t none = 0;
  EXPECT_EQ(crypto_sign_verify_detached(signature.data(), &none, 0, signer.publicKey().data()), 0);
  EXPECT_EQ(HexText(signer.Sign(&none, 0).data(), 64), HexText(signature.data(), 64));
}

}  // namespace
}  // namespace ostrel::update_test
