#include <gtest/gtest.h>

#include "engine/common/clock.h"
#include "engine/common/exception.h"
#include "engine/container/password.h"
#include "engine/crypto/checksums.h"
#include "tests/container/container_test_util.h"

namespace kestro::test {
namespace {

TEST(ContainerFormat, ANewContainerIsExactly536Bytes) {
  TempDir dir;
  const std::string path = dir.Path("new.kvb");
  NewContainer(path).reset();
  const auto b = ReadAll(path);
  ASSERT_EQ(b.size(), 536u);
  // PartHeader: magic, part size (one part forever), no next part.
  EXPECT_EQ(std::string(b.begin(), b.begin() + 8), "VLMVHFSS");
  EXPECT_EQ(At<int64_t>(b, 8), 9'223'372'036'854'775'806);
  for (size_t i = 16; i < 280; ++i) ASSERT_EQ(b[i], 0) << i;
  // ContainerHeader.
  const size_t h = 280;
  EXPECT_EQ(std::string(b.begin() + h, b.begin() + h + 8), "VLSFSSGN");
  EXPECT_EQ(b[h + 12], 0x3D);
  EXPECT_EQ(b[h + 13], 0x0A);
  EXPECT_EQ(b[h + 14], 0x07);
  EXPECT_EQ(b[h + 15], 0x40);
  EXPECT_EQ(At<int32_t>(b, h + 16), 4096);  // PageSize
  EXPECT_EQ(At<int32_t>(b, h + 20), 8);     // ExtentPageCount
  EXPECT_EQ(At<int32_t>(b, h + 24), 1);     // FirstExtentPageNo
  for (size_t off = 28; off < 48; off += 4) EXPECT_EQ(At<int32_t>(b, h + off), 0) << off;
  EXPECT_EQ(At<int32_t>(b, h + 48), 1);  // PageCount
  for (size_t i = 52; i < 256; ++i) ASSERT_EQ(b[h + i], 0) << i;
  EXPECT_EQ(At<uint32_t>(b, h + 8), XorWords(b.data() + h + 12, 244));

  auto fs = OpenContainer(path);
  EXPECT_FALSE(fs->IsEncrypted());
  EXPECT_EQ(fs->Directory().Items().Count(), 0);
  EXPECT_EQ(fs->FreeSpace().ExtentCount(), 0);
}

struct Layout {
  TDatabaseFileMode mode;
  int32_t pageSize, extent, pageCount, dirPage;
  uint8_t pfs0, gam0, sgam0;
};

TEST(ContainerFormat, FirstAllocationLaysOutTheMapsOfEveryMode) {
  const Layout layouts[] = {
      // E = 2: the SGAM page is the first page of extent 1, and the
      // directory page the last page of it.
      {dfmCompact, 600, 2, 5, 4, 0xF0, 0xFC, 0x01},
      {dfmNormal, 4096, 8, 9, 4, 0xF0, 0xFE, 0x01},
      {dfmLarge, 8192, 16, 17, 4, 0xF0, 0xFE, 0x01},
  };
  for (const Layout& l : layouts) {
    TempDir dir;
    const std::string path = dir.Path("maps.kvb");
    {
      auto fs = NewContainer(path, l.mode);
      ASSERT_GE(fs->FileCreate("first"), 0);
      EXPECT_EQ(fs->Directory().Pages(), std::vector<int32_t>{l.dirPage});
    }
    const auto b = ReadAll(path);
    const int32_t ds = l.pageSize - 32;
    ASSERT_EQ(b.size(), PageOffset(l.pageSize, l.pageCount)) << int(l.mode);
    EXPECT_EQ(At<int32_t>(b, 280 + 48), l.pageCount);
    EXPECT_EQ(At<int32_t>(b, 280 + 28), 1);  // GAMPageCount
    EXPECT_EQ(At<int32_t>(b, 280 + 32), 1);  // PFSPageCount
    EXPECT_EQ(At<int32_t>(b, 280 + 36), 1);  // DIRPageCount
    EXPECT_EQ(At<int32_t>(b, 280 + 40), l.dirPage);
    EXPECT_EQ(At<int32_t>(b, 280 + 44), 1);  // DIRItemCount
    const struct {
      int32_t page;
      uint8_t type, first, rest;
    } pages[] = {{1, ptPFS, l.pfs0, 0xFF}, {2, ptGAM, l.gam0, 0xFF}, {3, ptSGAM, l.sgam0, 0x00}};
    for (const auto& p : pages) {
      const size_t at = PageOffset(l.pageSize, p.page);
      EXPECT_EQ(b[at + 8], p.type) << int(l.mode) << " page " << p.page;
      EXPECT_EQ(b[at + 9], 0);   // plain
      EXPECT_EQ(b[at + 10], 0);  // XOR check
      EXPECT_EQ(b[at + 32], p.first) << int(l.mode) << " page " << p.page;
      for (int32_t i = 1; i < ds; ++i) ASSERT_EQ(b[at + 32 + i], p.rest) << p.page << ":" << i;
      EXPECT_EQ(At<uint32_t>(b, at + 4), XorWords(b.data() + at + 32, size_t(ds)));
    }
  }
}

TEST(ContainerFormat, DirectoryItemsAndPageMapsHaveTheirLayouts) {
  TempDir dir;
  const std::string path = dir.Path("items.kvb");
  {
    auto fs = NewContainer(path);
    const int32_t h = fs->FileOpen("\\data.bin", fmCreate);
    ASSERT_GE(h, 0);
    ASSERT_EQ(fs->FileSeek(h, 10000, 0), 10000);
    const uint8_t one = 0xAB;
    ASSERT_EQ(fs->FileWrite(h, &one, 1), 1);
    EXPECT_EQ(fs->FileSize(h), 10001);
    fs->FileClose(h);
  }
  const auto b = ReadAll(path);
  // Pages: 1 PFS, 2 GAM, 3 SGAM, 4 directory, 5 map, 6..8 data.
  ASSERT_EQ(b.size(), PageOffset(4096, 9));
  const size_t item = PageOffset(4096, 4) + 32;
  EXPECT_EQ(b[PageOffset(4096, 4) + 8], ptDirectory);
  EXPECT_EQ(At<int32_t>(b, item + 0), 5);        // FirstMapPageNo
  EXPECT_EQ(At<int64_t>(b, item + 4), 10001);    // size
  const int64_t now = 134'414'586'000'000'000;  // 11 Dec 2026 10:30:00 UTC
  EXPECT_EQ(At<int64_t>(b, item + 12), now);
  EXPECT_EQ(At<int64_t>(b, item + 20), now);
  EXPECT_EQ(At<int64_t>(b, item + 28), now);
  EXPECT_EQ(At<int32_t>(b, item + 36), 0);   // attributes
  EXPECT_EQ(At<int32_t>(b, item + 40), -1);  // root
  EXPECT_EQ(b[item + 220], 0);
  EXPECT_EQ(b[item + 221], 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[item + 224])), "data.bin");
  const size_t map = PageOffset(4096, 5);
  EXPECT_EQ(At<int32_t>(b, map), -1);  // last map page
  EXPECT_EQ(b[map + 8], ptPageMap);
  EXPECT_EQ(At<int32_t>(b, map + 32), 6);
  EXPECT_EQ(At<int32_t>(b, map + 36), 7);
  EXPECT_EQ(At<int32_t>(b, map + 40), 8);
  // Three zero-filled data pages; the byte lands in the third.
  for (int32_t p : {6, 7, 8}) EXPECT_EQ(b[PageOffset(4096, p) + 8], ptUserData);
  EXPECT_EQ(b[PageOffset(4096, 8) + 32 + 10000 - 2 * 4064], 0xAB);
  EXPECT_EQ(b[PageOffset(4096, 7) + 32 + 100], 0);
}

TEST(ContainerFormat, PasswordBlockVerifiesAndRefusesWrongPasswords) {
  TempDir dir;
  const std::string path = dir.Path("secret.kvb");
  NewContainer(path, dfmNormal, "s3cret").reset();
  const auto b = ReadAll(path);
  const size_t block = 280 + 52;
  EXPECT_EQ(b[280 + 224], 1);  // Encrypted
  for (size_t i = 32; i < 64; ++i) EXPECT_EQ(b[block + i], 0);
  EXPECT_EQ(At<uint16_t>(b, block + 66), 0);  // CRC high half
  for (size_t i = 68; i < 172; ++i) EXPECT_EQ(b[block + i], 0);

  EXPECT_TRUE(TVSingleFileSystem::IsFileEncrypted(path));
  EXPECT_TRUE(TVSingleFileSystem::PasswordOpens(path, "s3cret"));
  EXPECT_FALSE(TVSingleFileSystem::PasswordOpens(path, "S3cret"));
  const std::string refused =
      "TVSingleFileSystem.Create - invalid password specified, file name = \"" + path + "\"";
  EXPECT_EQ(ErrorOf([&] { OpenContainer(path, "wrong"); }), refused);
  EXPECT_EQ(ErrorOf([&] { OpenContainer(path, ""); }), refused);
  EXPECT_EQ(ErrorOf([&] { NewContainer(dir.Path("long.kvb"), dfmNormal, std::string(33, 'x')); }),
            "Password length should be shorter then 32");
  EXPECT_NO_THROW(NewContainer(dir.Path("max.kvb"), dfmNormal, std::string(32, 'x')));

  // Each check spends at least 256 ms of tick time.
  int readings = 0;
  SetTickCountForTesting([&] { return uint64_t(readings++) * 10; });
  std::string key;
  uint8_t stored[kPasswordBlockSize];
  std::memcpy(stored, &b[block], sizeof stored);
  EXPECT_TRUE(VerifyPassword(stored, "s3cret", key));
  EXPECT_GE(readings, 27);
  SetTickCountForTesting([] {
    static uint64_t ticks = 0;
    return ticks += 64;
  });

  auto fs = OpenContainer(path, "s3cret");
  EXPECT_TRUE(fs->IsEncrypted());
  EXPECT_EQ(fs->PageFile().ContainerKey().size(), 33u);
  EXPECT_EQ(fs->PageFile().ContainerKey()[32], '\0');
  // A plain container ignores a password.
  NewContainer(dir.Path("plain.kvb")).reset();
  EXPECT_NO_THROW(OpenContainer(dir.Path("plain.kvb"), "anything"));
}

TEST(ContainerFormat, HeaderDamageAndBadGeometry) {
  TempDir dir;
  const std::string path = dir.Path("h.kvb");
  NewContainer(path).reset();
  auto b = ReadAll(path);
  b[280 + 100] ^= 1;  // inside the header, checksum not recomputed
  WriteAll(path, b);
  EXPECT_EQ(ErrorOf([&] { OpenContainer(path); }),
            "TVSingleFileSystem.LoadHeader - Invalid VSFS file, header is corrupted.");
  EXPECT_EQ(ErrorOf([&] { OpenContainer(dir.Path("missing.kvb")); }),
            "File '" + dir.Path("missing.kvb") + "' not found");
  WriteAll(dir.Path("junk.kvb"), std::vector<uint8_t>(1000, 7));
  EXPECT_EQ(ErrorOf([&] { OpenContainer(dir.Path("junk.kvb")); }), "File junk.kvb has corrupted header.");
  EXPECT_EQ(ErrorOf([&] {
              TVSingleFileSystem(dir.Path("g.kvb"), -1, 8, 599, "", false, fmCreate);
            }),
            "TPageFileManager.Create - page size should be >= 600bytes .");
  EXPECT_EQ(ErrorOf([&] {
              TVSingleFileSystem(dir.Path("g.kvb"), -1, 0, 600, "", false, fmCreate);
            }),
            "TPageFileManager.Create - extent page count should be >= 1 Page.");
  EXPECT_NO_THROW(TVSingleFileSystem(dir.Path("g.kvb"), -1, 1, 600, "", false, fmCreate));
}

}  // namespace
}  // namespace kestro::test
