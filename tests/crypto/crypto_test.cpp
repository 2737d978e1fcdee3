#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/crypto/checksums.h"
#include "engine/crypto/cipher.h"

namespace kestro {
namespace {

std::string Hex(const uint8_t* p, size_t n) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < n; ++i) s += {d[p[i] >> 4], d[p[i] & 15]};
  return s;
}

TEST(Cipher, MatchesTheBlockFeedbackModeByteForByte) {
  // Key "abc": RIPEMD-256 afbd6e22...459b65; expected bytes computed with an
  // independent AES implementation and the mode's rules.
  std::vector<uint8_t> data(37);
  for (size_t i = 0; i < data.size(); ++i) data[i] = uint8_t(i);
  TVellCipher("abc").Encrypt(data.data(), data.size());
  EXPECT_EQ(Hex(data.data(), data.size()),
            "c736ca51a77bfa3d6da95703275f3ed2d07f388658ab8e09ff124cfe46c0ee8caabc535a63");
  TVellCipher("abc").Decrypt(data.data(), data.size());
  for (size_t i = 0; i < data.size(); ++i) EXPECT_EQ(data[i], i);
}

TEST(Cipher, EveryBufferStartsFromTheSameFeedback) {
  const TVellCipher cipher(std::string("master key\0", 11));
  for (size_t n : {0u, 1u, 15u, 16u, 17u, 568u, 4064u}) {
    std::vector<uint8_t> a(n, 0x5A), b(n, 0x5A);
    cipher.Encrypt(a.data(), n);
    cipher.Encrypt(b.data(), n);
    EXPECT_EQ(a, b) << n;  // equal plain pages, equal cipher text
    if (n >= 16) {
      EXPECT_NE(a, std::vector<uint8_t>(n, 0x5A));
    }
    cipher.Decrypt(a.data(), n);
    EXPECT_EQ(a, std::vector<uint8_t>(n, 0x5A)) << n;
  }
  std::vector<uint8_t> x(32, 1), y(32, 1);
  TVellCipher("a").Encrypt(x.data(), 32);
  TVellCipher("b").Encrypt(y.data(), 32);
  EXPECT_NE(x, y);
}

TEST(Checksums, KnownValues) {
  EXPECT_EQ(Crc16Arc("123456789", 9), 0xBB3D);  // the CRC-16/ARC check value
  EXPECT_EQ(Crc16Arc("", 0), 0);
  EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u);
  const uint8_t words[] = {1, 0, 0, 0, 2, 0, 0, 0, 0xFF};  // the tail byte is not covered
  EXPECT_EQ(XorWords(words, sizeof words), 3u);
}

TEST(Base64, RoundTripsAndRejectsBadText) {
  const struct {
    const char* plain;
    const char* coded;
  } cases[] = {{"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foobar", "Zm9vYmFy"}};
  for (const auto& c : cases) {
    EXPECT_EQ(Base64Encode(c.plain), c.coded);
    std::string back;
    ASSERT_TRUE(Base64Decode(c.coded, back));
    EXPECT_EQ(back, c.plain);
  }
  std::string out;
  for (const char* bad : {"Zg=", "Z!==", "Zg=a", "=Zg="}) EXPECT_FALSE(Base64Decode(bad, out)) << bad;
}

TEST(RandomKeyBytes, StaysWithinOneTo254) {
  std::vector<uint8_t> key(4096);
  RandomKeyBytes(key.data(), key.size());
  int seen[256] = {};
  for (uint8_t b : key) ++seen[b];
  EXPECT_EQ(seen[0], 0);
  EXPECT_EQ(seen[255], 0);
  std::vector<uint8_t> other(32);
  RandomKeyBytes(other.data(), other.size());
  EXPECT_NE(std::vector<uint8_t>(key.begin(), key.begin() + 32), other);
}

}  // namespace
}  // namespace kestro
