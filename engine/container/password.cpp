#include "engine/container/password.h"

#include <cstring>

#include "engine/common/clock.h"
#include "engine/common/exception.h"
#include "engine/crypto/checksums.h"
#include "engine/crypto/cipher.h"

namespace kestro {

std::string FillPasswordBlock(uint8_t (&block)[kPasswordBlockSize], std::string_view password) {
  if (password.size() > kMaxPasswordLength)
    throw Exception("Password length should be shorter then " + std::to_string(kMaxPasswordLength));
  uint8_t master[kMasterKeySize];
  RandomKeyBytes(master, sizeof master);
  std::memset(block, 0, sizeof block);
  const uint32_t crc = Crc16Arc(master, sizeof master);
  std::memcpy(block + 64, &crc, 4);
  std::string key(reinterpret_cast<const char*>(master), sizeof master);
  key.push_back('\0');
  TVellCipher(password).Encrypt(master, sizeof master);
  std::memcpy(block, master, sizeof master);
  return key;
}

bool VerifyPassword(const uint8_t (&block)[kPasswordBlockSize], std::string_view password,
                    std::string& key) {
  if (password.empty()) return false;
  // Spend a quarter of a second on throwaway decryptions.
  uint8_t work[kMasterKeySize];
  std::memcpy(work, block, sizeof work);
  const uint64_t start = TickCount();
  do {
    TVellCipher(password).Decrypt(work, sizeof work);
    (void)Crc16Arc(work, sizeof work);
  } while (TickCount() - start < kPasswordCheckMillis);

  std::string candidate(reinterpret_cast<const char*>(block), kMasterKeySize + 1);
  candidate[kMasterKeySize] = '\0';
  TVellCipher(password).Decrypt(reinterpret_cast<uint8_t*>(candidate.data()), kMasterKeySize);
  uint32_t stored;
  std::memcpy(&stored, block + 64, 4);
  if (Crc16Arc(candidate.data(), kMasterKeySize) != stored) return false;
  key = std::move(candidate);
  return true;
}

}  // namespace kestro
