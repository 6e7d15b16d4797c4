#include "update/update_verifier.h"

#include <sodium.h>

#include <algorithm>
#include <array>

#include "platform/platform.h"
#include "update/masked_key.h"

namespace ostrel {
namespace {

constexpr int kVerified = 0;
constexpr int kUnreadable = 1;
constexpr int kBadArguments = 3;
constexpr int kBadSignature = 4;

constexpr int kSignatureBytes = 64;
constexpr int kDigestTextBytes = 65;  // 64 hex digits and the terminating zero

static_assert(crypto_sign_BYTES == kSignatureBytes);
static_assert(crypto_sign_PUBLICKEYBYTES == 32);

void WriteDigestText(const std::array<uint8_t, 32>& digest, char* out) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < digest.size(); ++i) {
    out[2 * i] = kDigits[digest[i] >> 4];
    out[2 * i + 1] = kDigits[digest[i] & 0x0F];
  }
  out[2 * digest.size()] = '\0';
}

}  // namespace

int VerifyUpdateArtifact(const std::wstring& path, const uint8_t* signature, int signatureLength,
                         char* hashHexOut, int hashHexOutCapacity) {
  signatureLength = std::max(signatureLength, 0);
  hashHexOutCapacity = std::max(hashHexOutCapacity, 0);

  std::array<uint8_t, 32> digest{};
  try {
    if (!platform::GetPlatform().system.HashFileSha256(path, &digest)) return kUnreadable;
  } catch (...) {
    // Whatever stopped the hashing (an allocation, a platform error), the
    // file was not hashed; the caller only needs to know that.
    return kUnreadable;
  }

  // The digest text goes out before the signature is looked at, so the host
  // gets it whenever the file could be hashed.
  if (hashHexOut != nullptr && hashHexOutCapacity >= kDigestTextBytes) {
    WriteDigestText(digest, hashHexOut);
  }

  if (signature == nullptr || signatureLength != kSignatureBytes) return kBadArguments;

  const std::array<uint8_t, 32> publicKey = UnmaskKey(kUpdateMaskedKey);
  // sodium_init is idempotent and thread-safe; without it nothing can be
  // trusted to verify, so a failure counts as a signature that did not verify.
  if (sodium_init() < 0) return kBadSignature;
  const int rc =
      crypto_sign_verify_detached(signature, digest.data(), digest.size(), publicKey.data());
  return rc == 0 ? kVerified : kBadSignature;
}

}  // namespace ostrel
