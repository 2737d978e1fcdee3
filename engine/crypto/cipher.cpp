#include "engine/crypto/cipher.h"

#include <crypto++/aes.h>
#include <crypto++/ripemd.h>

#include <cstring>
#include <vector>

namespace kestro {

struct TVellCipher::Impl {
  CryptoPP::AES::Encryption enc;
  CryptoPP::AES::Decryption dec;
  uint8_t initialFeedback[16];
  std::vector<uint8_t> feedback;  // reused by Decrypt
};

TVellCipher::TVellCipher(std::string_view key) : impl_(std::make_unique<Impl>()) {
  uint8_t digest[CryptoPP::RIPEMD256::DIGESTSIZE];
  CryptoPP::RIPEMD256().CalculateDigest(digest, reinterpret_cast<const uint8_t*>(key.data()),
                                        key.size());
  impl_->enc.SetKey(digest, sizeof digest);
  impl_->dec.SetKey(digest, sizeof digest);
  uint8_t ones[16];
  std::memset(ones, 0xFF, sizeof ones);
  impl_->enc.ProcessBlock(ones, impl_->initialFeedback);
}

TVellCipher::~TVellCipher() = default;

void TVellCipher::Encrypt(uint8_t* data, size_t size) const {
  uint8_t f[16], block[16];
  std::memcpy(f, impl_->initialFeedback, 16);
  size_t pos = 0;
  for (; pos + 16 <= size; pos += 16) {
    for (int i = 0; i < 16; ++i) block[i] = data[pos + i] ^ f[i];
    impl_->enc.ProcessBlock(block, data + pos);
    for (int i = 0; i < 16; ++i) f[i] ^= data[pos + i];
  }
  if (pos < size) {
    impl_->enc.ProcessBlock(f, block);
    for (size_t i = 0; pos + i < size; ++i) data[pos + i] ^= block[i];
  }
}

void TVellCipher::Decrypt(const uint8_t* data, uint8_t* out, size_t size) const {
  // Every feedback block follows from the cipher text alone, so all blocks
  // decrypt in one pipelined call: P_i = AES^-1(C_i) ^ F_i.
  const size_t whole = size / 16 * 16;
  std::vector<uint8_t>& feedback = impl_->feedback;
  if (feedback.size() < whole + 16) feedback.resize(whole + 16);
  uint64_t f0, f1;
  std::memcpy(&f0, impl_->initialFeedback, 8);
  std::memcpy(&f1, impl_->initialFeedback + 8, 8);
  for (size_t pos = 0; pos < whole; pos += 16) {
    std::memcpy(feedback.data() + pos, &f0, 8);
    std::memcpy(feedback.data() + pos + 8, &f1, 8);
    uint64_t c0, c1;
    std::memcpy(&c0, data + pos, 8);
    std::memcpy(&c1, data + pos + 8, 8);
    f0 ^= c0;
    f1 ^= c1;
  }
  if (whole > 0) impl_->dec.AdvancedProcessBlocks(data, feedback.data(), out, whole, 0);
  uint8_t f[16], block[16];
  std::memcpy(f, &f0, 8);
  std::memcpy(f + 8, &f1, 8);
  const size_t pos = whole;
  if (pos < size) {
    impl_->enc.ProcessBlock(f, block);
    for (size_t i = 0; pos + i < size; ++i) out[pos + i] = data[pos + i] ^ block[i];
  }
}

}  // namespace kestro
