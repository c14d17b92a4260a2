// Shared helpers of the engine tests: MD5 and SHA-256 texts (the kit,
// kit.h, holds the folders, files, patterns and captured log lines).
#pragma once

#include <string>

#include "kit.h"

namespace kt {

// Digests by the TLS library's own implementation, a reference independent
// of the engine's hash library.
std::string md5_hex(const std::string& data);
std::string sha256_hex(const std::string& data);

}  // namespace kt
