// The password check block of a container (and of a per-file password):
// a random 32-byte master key, encrypted under the password, with the
// CRC-16/ARC of the plain key to verify it. The key string that codes pages
// is the master key followed by one zero byte (33 bytes).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "engine/container/formats.h"

namespace kestro {

inline constexpr size_t kMaxPasswordLength = 32;
inline constexpr size_t kMasterKeySize = 32;
// Every verification takes at least this long, to slow down guessing.
inline constexpr uint64_t kPasswordCheckMillis = 256;

// Fills `block` for a new container; returns the 33-byte page key. Raises
// "Password length should be shorter then 32" for longer passwords.
std::string FillPasswordBlock(uint8_t (&block)[kPasswordBlockSize], std::string_view password);

// True when `password` opens `block`; `key` receives the page key. An empty
// password fails at once; any other check spends kPasswordCheckMillis.
bool VerifyPassword(const uint8_t (&block)[kPasswordBlockSize], std::string_view password,
                    std::string& key);

}  // namespace kestro
