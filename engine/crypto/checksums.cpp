#include "engine/crypto/checksums.h"

#include <sys/random.h>
#include <zlib.h>

#include <array>
#include <cerrno>
#include <cstring>
#include "engine/common/exception.h"

namespace kestro {

uint16_t Crc16Arc(const void* data, size_t size) {
  static const std::array<uint16_t, 256> table = [] {
    std::array<uint16_t, 256> t{};
    for (int i = 0; i < 256; ++i) {
      uint16_t c = uint16_t(i);
      for (int k = 0; k < 8; ++k) c = (c & 1) ? uint16_t((c >> 1) ^ 0xA001) : uint16_t(c >> 1);
      t[i] = c;
    }
    return t;
  }();
  uint16_t crc = 0;
  const auto* p = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < size; ++i) crc = uint16_t((crc >> 8) ^ table[(crc ^ p[i]) & 0xFF]);
  return crc;
}

uint32_t Crc32(const void* data, size_t size, uint32_t crc) {
  const auto* p = static_cast<const Bytef*>(data);
  while (size > 0) {
    const uInt n = size > 0x40000000 ? 0x40000000 : static_cast<uInt>(size);
    crc = static_cast<uint32_t>(crc32(crc, p, n));
    p += n;
    size -= n;
  }
  return crc;
}

uint32_t XorWords(const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  // Eight bytes at a time: the two halves are two words of the same XOR.
  uint64_t a = 0, b = 0, c = 0, d = 0;
  size_t i = 0;
  for (; i + 32 <= size; i += 32) {
    uint64_t w[4];
    std::memcpy(w, p + i, 32);  // little-endian host
    a ^= w[0];
    b ^= w[1];
    c ^= w[2];
    d ^= w[3];
  }
  uint64_t x64 = a ^ b ^ c ^ d;
  for (; i + 8 <= size; i += 8) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    x64 ^= w;
  }
  uint32_t x = uint32_t(x64) ^ uint32_t(x64 >> 32);
  for (; i + 4 <= size; i += 4) {
    uint32_t w;
    std::memcpy(&w, p + i, 4);
    x ^= w;
  }
  return x;
}

uint32_t CopyAndXorWords(void* dst, const void* src, size_t size) {
  // 64 bytes a step in vector registers (SSE2 at least, wider where built for).
  using V = uint64_t __attribute__((vector_size(16)));
  const auto* p = static_cast<const uint8_t*>(src);
  auto* q = static_cast<uint8_t*>(dst);
  V a{}, b{}, c{}, d{};
  size_t i = 0;
  for (; i + 64 <= size; i += 64) {
    V w[4];
    std::memcpy(w, p + i, 64);
    std::memcpy(q + i, w, 64);
    a ^= w[0];
    b ^= w[1];
    c ^= w[2];
    d ^= w[3];
  }
  const V x = a ^ b ^ c ^ d;
  const uint64_t x64 = x[0] ^ x[1];
  std::memcpy(q + i, p + i, size - i);
  return uint32_t(x64) ^ uint32_t(x64 >> 32) ^ XorWords(p + i, size - i);
}

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t v = uint32_t(uint8_t(bytes[i])) << 16 | uint32_t(uint8_t(bytes[i + 1])) << 8 |
                       uint8_t(bytes[i + 2]);
    for (int s = 18; s >= 0; s -= 6) out += kAlphabet[(v >> s) & 63];
  }
  if (i < bytes.size()) {
    uint32_t v = uint32_t(uint8_t(bytes[i])) << 16;
    if (i + 1 < bytes.size()) v |= uint32_t(uint8_t(bytes[i + 1])) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < bytes.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

bool Base64Decode(std::string_view text, std::string& bytes) {
  bytes.clear();
  if (text.size() % 4 != 0) return false;
  auto value = [](char c) -> int {
    const char* p = std::strchr(kAlphabet, c);
    return c != '\0' && p != nullptr ? int(p - kAlphabet) : -1;
  };
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    const int pad = last ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
    if (text[i + 2] == '=' && text[i + 3] != '=') return false;
    uint32_t v = 0;
    for (int k = 0; k < 4; ++k) {
      const int d = k >= 4 - pad ? 0 : value(text[i + k]);
      if (d < 0) return false;
      v = v << 6 | uint32_t(d);
    }
    bytes += char(v >> 16);
    if (pad < 2) bytes += char((v >> 8) & 0xFF);
    if (pad < 1) bytes += char(v & 0xFF);
  }
  return true;
}

void RandomKeyBytes(uint8_t* out, size_t size) {
  size_t filled = 0;
  uint8_t buf[64];
  while (filled < size) {
    const ssize_t got = getrandom(buf, sizeof buf, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      throw Exception("Error in RandomKeyBytes - no secure random source.");
    }
    // Rejection keeps every accepted byte uniform in 1..254.
    for (ssize_t i = 0; i < got && filled < size; ++i)
      if (buf[i] != 0 && buf[i] != 255) out[filled++] = buf[i];
  }
}

}  // namespace kestro
