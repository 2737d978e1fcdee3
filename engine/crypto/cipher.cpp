#include "engine/crypto/cipher.h"

#include <crypto++/aes.h>
#include <crypto++/ripemd.h>

#include <cstring>

namespace kestro {

struct TVellCipher::Impl {
  CryptoPP::AES::Encryption enc;
  CryptoPP::AES::Decryption dec;
  uint8_t initialFeedback[16];
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

void TVellCipher::Decrypt(uint8_t* data, size_t size) const {
  uint8_t f[16], block[16];
  std::memcpy(f, impl_->initialFeedback, 16);
  size_t pos = 0;
  for (; pos + 16 <= size; pos += 16) {
    impl_->dec.ProcessBlock(data + pos, block);
    for (int i = 0; i < 16; ++i) {
      const uint8_t c = data[pos + i];
      data[pos + i] = block[i] ^ f[i];
      f[i] ^= c;
    }
  }
  if (pos < size) {
    impl_->enc.ProcessBlock(f, block);
    for (size_t i = 0; pos + i < size; ++i) data[pos + i] ^= block[i];
  }
}

}  // namespace kestro
