// The engine cipher: AES-256 keyed by the RIPEMD-256 digest of a key string,
// in the engine's own block-feedback mode.
//
//   F0 = AES(16 x 0xFF)
//   encrypt, per whole 16-byte block P:  C = AES(P ^ F);      F = C ^ F
//   decrypt, per whole block C:          P = AES^-1(C) ^ F;   F = C ^ F
//   a remainder of r < 16 bytes:         out = in ^ AES(F)[0..r)
//
// Every buffer (a page, a key block, a record) starts from F0, so equal
// plain buffers give equal cipher text. The key schedule is computed once
// per object; Encrypt and Decrypt may be called any number of times.
// Not thread-safe (Decrypt reuses a buffer of the object).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

namespace kestro {

class TVellCipher {
 public:
  explicit TVellCipher(std::string_view key);
  ~TVellCipher();
  TVellCipher(const TVellCipher&) = delete;
  TVellCipher& operator=(const TVellCipher&) = delete;

  void Encrypt(uint8_t* data, size_t size) const;
  void Decrypt(uint8_t* data, size_t size) const { Decrypt(data, data, size); }
  // Decrypts `size` bytes of `in` into `out` (the same or separate buffers).
  void Decrypt(const uint8_t* in, uint8_t* out, size_t size) const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kestro
