// SHA-256 through OpenSSL's libcrypto (EVP), which every POSIX system the
// station runs on has.
#include <openssl/evp.h>

#include <cstdio>

#include "station/sha256.h"

std::string sha256_hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr) != 1)
    return "";
  std::string hex;
  for (unsigned int i = 0; i < length; ++i) {
    char pair[3];
    (void)std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    hex += pair;
  }
  return hex;
}
