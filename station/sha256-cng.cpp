// SHA-256 through Windows' own CNG (BCrypt), so that the Windows programs
// still need no DLL from outside Windows but libusb0.dll.
#include <windows.h>
// After windows.h, which it needs.
#include <bcrypt.h>

#include <cstdio>

#include "station/sha256.h"

namespace {

// The algorithm provider and the hash object, closed on every way out.
struct Sha256 {
  BCRYPT_ALG_HANDLE algorithm = nullptr;
  BCRYPT_HASH_HANDLE hash = nullptr;
  ~Sha256() {
    if (hash != nullptr)
      (void)BCryptDestroyHash(hash);
    if (algorithm != nullptr)
      (void)BCryptCloseAlgorithmProvider(algorithm, 0);
  }
};

bool succeeded(NTSTATUS status) {
  return status >= 0;
}

}  // namespace

std::string sha256_hex(const std::string& bytes) {
  Sha256 sha;
  unsigned char digest[32];
  if (!succeeded(
          BCryptOpenAlgorithmProvider(&sha.algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)) ||
      !succeeded(BCryptCreateHash(sha.algorithm, &sha.hash, nullptr, 0, nullptr, 0, 0)) ||
      !succeeded(BCryptHashData(sha.hash,
                                // BCrypt only reads the input.
                                reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                                static_cast<ULONG>(bytes.size()), 0)) ||
      !succeeded(BCryptFinishHash(sha.hash, digest, sizeof digest, 0)))
    return "";
  std::string hex;
  for (const unsigned char byte : digest) {
    char pair[3];
    (void)std::snprintf(pair, sizeof pair, "%02x", byte);
    hex += pair;
  }
  return hex;
}
