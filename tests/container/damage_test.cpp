// Damaged containers never crash: every truncation, flipped byte and zeroed
// page either opens (reading what is intact) or fails with an exception.
#include <gtest/gtest.h>

#include "engine/common/exception.h"
#include "engine/crypto/checksums.h"
#include "tests/container/container_test_util.h"
#include "tests/support/container_walk.h"

namespace kestro::test {
namespace {

class ContainerDamage : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const bool encrypted : {false, true}) {
      const std::string path = dir_.Path(encrypted ? "enc.kvb" : "plain.kvb");
      auto fs = NewContainer(path, dfmCompact, encrypted ? "pw" : "");
      fs->ForceDirectories("a\\b");
      for (int i = 0; i < 6; ++i) {
        const int32_t h = fs->FileOpen((i % 2 ? "a\\b\\f" : "f") + std::to_string(i), fmCreate);
        const std::string data(size_t(300 * i + 17), char('0' + i));
        fs->FileWrite(h, data.data(), int64_t(data.size()));
        fs->FileClose(h);
      }
      fs->FileDelete("f2");
      (encrypted ? encrypted_ : plain_) = ReadAll(path);
    }
  }

  // Writes the damaged bytes and reads everything; true when it opened.
  bool Survives(const std::vector<uint8_t>& bytes, const std::string& password) {
    const std::string path = dir_.Path("damaged.kvb");
    WriteAll(path, bytes);
    try {
      ReadWholeContainer(path, password);
      return true;
    } catch (const Exception&) {
      return false;
    }
  }

  TempDir dir_;
  std::vector<uint8_t> plain_, encrypted_;
};

TEST_F(ContainerDamage, IntactFilesReadBack) {
  EXPECT_TRUE(Survives(plain_, ""));
  EXPECT_TRUE(Survives(encrypted_, "pw"));
  WriteAll(dir_.Path("x.kvb"), plain_);
  EXPECT_EQ(ReadWholeContainer(dir_.Path("x.kvb")), 17 + 317 + 917 + 1217 + 1517);
}

TEST_F(ContainerDamage, TruncationAnywhere) {
  for (const auto* original : {&plain_, &encrypted_}) {
    for (size_t len = 0; len < original->size(); len += 37) {
      std::vector<uint8_t> cut(original->begin(), original->begin() + long(len));
      Survives(cut, original == &plain_ ? "" : "pw");
    }
  }
}

TEST_F(ContainerDamage, FlippedBytes) {
  int opened = 0, refused = 0;
  for (size_t at = 0; at < plain_.size(); at += 7) {
    std::vector<uint8_t> b = plain_;
    b[at] ^= 0x5A;
    (Survives(b, "") ? opened : refused)++;
  }
  EXPECT_GT(opened, 0);   // damage in data pages leaves the container usable
  EXPECT_GT(refused, 0);  // damage in the headers is refused
  for (size_t at = 0; at < encrypted_.size(); at += 53) {
    std::vector<uint8_t> b = encrypted_;
    b[at] ^= 0x01;
    Survives(b, "pw");
  }
}

TEST_F(ContainerDamage, ZeroedPagesAndCheckValueMismatches) {
  const size_t pageSize = 600;
  for (size_t page = 1; kPartHeaderSize + page * pageSize < plain_.size(); ++page) {
    std::vector<uint8_t> b = plain_;
    std::fill(b.begin() + long(kPartHeaderSize + page * pageSize),
              b.begin() + long(std::min(b.size(), kPartHeaderSize + (page + 1) * pageSize)), 0);
    Survives(b, "");
  }
  // A damaged data page reads short with the check-value error.
  std::vector<uint8_t> b = plain_;
  const std::string path = dir_.Path("check.kvb");
  WriteAll(path, b);
  int32_t page;
  {
    auto fs = OpenContainer(path);
    page = fs->PageMaps().GetMaps(fs->Directory().ReadItem(fs->Directory().Items().Find(-1, "f4"))).dataPages[1];
  }
  b[kPartHeaderSize + size_t(page) * pageSize + 40] ^= 0xFF;
  WriteAll(path, b);
  auto fs = OpenContainer(path);
  const int32_t h = fs->FileOpen("f4", fmOpenRead);
  std::vector<char> buf(2000);
  EXPECT_EQ(fs->FileRead(h, buf.data(), 2000), 568);  // the first page only
  EXPECT_EQ(fs->LastError(), peCheckMismatch);
}

TEST_F(ContainerDamage, ABrokenMapChainIsReported) {
  const std::string path = dir_.Path("chain.kvb");
  WriteAll(path, plain_);
  int32_t mapPage;
  {
    auto fs = OpenContainer(path);
    mapPage = fs->Directory().ReadItem(fs->Directory().Items().Find(-1, "f4")).firstMapPageNo;
  }
  auto b = plain_;
  // Point the one map page's entries outside the file, with a valid check.
  const size_t data = kPartHeaderSize + size_t(mapPage) * 600 + 32;
  for (size_t i = 0; i < 568; i += 4) {
    const int32_t bad = 1'000'000;
    std::memcpy(&b[data + i], &bad, 4);
  }
  const uint32_t check = XorWords(&b[data], 568);
  std::memcpy(&b[data - 28], &check, 4);
  WriteAll(path, b);
  auto fs = OpenContainer(path);
  const int32_t h = fs->FileOpen("f4", fmOpenRead);
  char c;
  EXPECT_EQ(fs->FileRead(h, &c, 1), 0);
  EXPECT_EQ(fs->LastError(), peHeaderReadShort);
}

}  // namespace
}  // namespace kestro::test
