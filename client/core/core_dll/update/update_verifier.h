// Update-file verification: SHA-256 of the file, Ed25519 signature over the
// 32 digest bytes with the built-in key.
#pragma once

#include <cstdint>
#include <string>

namespace ostrel {

// 0 valid, 1 file not hashed, 3 bad arguments, 4 signature does not verify.
int VerifyUpdateArtifact(const std::wstring& path, const uint8_t* signature, int signatureLength,
                         char* hashHexOut, int hashHexOutCapacity);

}  // namespace ostrel
