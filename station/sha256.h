// SHA-256 of a file's bytes, for naming the driver image a board was
// prepared with: the system's own implementation on each system (OpenSSL's
// libcrypto on Linux and other POSIX systems, CNG's BCrypt on Windows).
#ifndef FLASHPREP_STATION_SHA256_H_
#define FLASHPREP_STATION_SHA256_H_

#include <string>

// The digest of `bytes` as 64 lower-case hexadecimal digits; "" when the
// system's implementation fails (it does not for a hash in memory).
std::string sha256_hex(const std::string& bytes);

#endif  // FLASHPREP_STATION_SHA256_H_
