#include <gtest/gtest.h>

#include <numeric>

#include "engine/common/exception.h"
#include "tests/container/container_test_util.h"

namespace kestro::test {
namespace {

class ContainerFiles : public ::testing::Test {
 protected:
  void SetUp() override { fs_ = NewContainer(dir_.Path("db.kvb")); }

  void Put(const std::string& name, const std::string& data) {
    const int32_t h = fs_->FileOpen(name, fmCreate);
    ASSERT_GE(h, 0) << name;
    ASSERT_EQ(fs_->FileWrite(h, data.data(), int64_t(data.size())), int64_t(data.size()));
    fs_->FileClose(h);
  }
  std::string Get(const std::string& name) {
    const int32_t h = fs_->FileOpen(name, fmOpenRead);
    if (h < 0) return "<missing>";
    std::string out(size_t(fs_->FileSize(h)), '\0');
    EXPECT_EQ(fs_->FileRead(h, out.data(), int64_t(out.size())), int64_t(out.size()));
    fs_->FileClose(h);
    return out;
  }
  std::vector<std::string> List(const std::string& pattern, int32_t attributes = 0) {
    std::vector<std::string> names;
    TVSFSSearchRec rec;
    for (int r = fs_->FindFirst(pattern, attributes, rec); r == 0; r = fs_->FindNext(rec))
      names.push_back(rec.name);
    fs_->FindClose(rec);
    return names;
  }

  TempDir dir_;
  std::unique_ptr<TVSingleFileSystem> fs_;
};

TEST_F(ContainerFiles, WriteReadSeekAcrossPages) {
  std::string big(20000, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = char('a' + i % 26);
  Put("big.dat", big);
  EXPECT_EQ(Get("big.dat"), big);
  const int32_t h = fs_->FileOpen("BIG.DAT", fmOpenReadWrite);  // names ignore case
  ASSERT_GE(h, 0);
  EXPECT_EQ(fs_->FileSeek(h, -5, 2), 19995);
  char tail[10];
  EXPECT_EQ(fs_->FileRead(h, tail, 10), 5);
  EXPECT_EQ(fs_->FileSeek(h, 4060, 0), 4060);
  EXPECT_EQ(fs_->FileWrite(h, "XXXXXXXX", 8), 8);  // across a page boundary
  EXPECT_EQ(fs_->FileSeek(h, 0, 1), 4068);
  fs_->FileClose(h);
  big.replace(4060, 8, "XXXXXXXX");
  EXPECT_EQ(Get("big.dat"), big);
  // Reopened from disk.
  fs_.reset();
  fs_ = OpenContainer(dir_.Path("db.kvb"));
  EXPECT_EQ(Get("big.dat"), big);
}

TEST_F(ContainerFiles, SetSizeGrowsWithZerosAndShrinksToNoPages) {
  const int32_t h = fs_->FileOpen("f", fmCreate);
  EXPECT_EQ(fs_->FileSetSize(h, 9000), 9000);
  EXPECT_EQ(fs_->FileSeek(h, 0, 1), 9000);
  EXPECT_EQ(fs_->Directory().ReadItem(0).firstMapPageNo != -1, true);
  EXPECT_EQ(fs_->FileSetSize(h, 0), 0);
  EXPECT_EQ(fs_->Directory().ReadItem(0).firstMapPageNo, -1);
  EXPECT_EQ(fs_->FileSetSize(h, -1), -1);
  EXPECT_EQ(fs_->FileSetSize(99, 10), vsfsInvalidHandle);
  fs_->FileClose(h);
  Put("g", std::string(5000, 'x'));
  const int32_t g = fs_->FileOpen("g", fmOpenReadWrite);
  EXPECT_EQ(fs_->FileSetSize(g, 100), 100);
  fs_->FileClose(g);
  EXPECT_EQ(Get("g"), std::string(100, 'x'));
}

TEST_F(ContainerFiles, DeletedSlotsAreReusedAndOpenFilesAreKept) {
  Put("a", "1");
  Put("b", "2");
  const int32_t items = fs_->PageFile().Header().dirItemCount;
  EXPECT_TRUE(fs_->FileDelete("a"));
  EXPECT_FALSE(fs_->FileExists("a"));
  EXPECT_FALSE(fs_->FileDelete("a"));
  Put("c", "3");
  EXPECT_EQ(fs_->PageFile().Header().dirItemCount, items);
  EXPECT_EQ(TDIRArray::NameOf(fs_->Directory().ReadItem(0)), "c");

  const int32_t h = fs_->FileOpen("b", fmOpenReadWrite);
  EXPECT_EQ(fs_->FileCreate("b"), vsfsFileIsOpen);
  EXPECT_FALSE(fs_->FileDelete("b"));
  EXPECT_FALSE(fs_->FileRename("b", "z"));
  fs_->FileClose(h);
  EXPECT_EQ(Get("b"), "2");
  EXPECT_GE(fs_->FileCreate("b"), 0);  // replaces the closed file
  EXPECT_EQ(Get("b"), "");
}

TEST_F(ContainerFiles, RenameMovesAcrossDirectories) {
  Put("t.dat", "payload");
  EXPECT_TRUE(fs_->FileRename("t.dat", "sub\\dir\\T2.dat"));
  EXPECT_TRUE(fs_->DirExists("sub"));
  EXPECT_TRUE(fs_->DirExists("\\sub\\dir"));
  EXPECT_EQ(Get("/sub/dir/t2.dat"), "payload");
  EXPECT_FALSE(fs_->FileExists("t.dat"));
  Put("other", "x");
  EXPECT_FALSE(fs_->FileRename("other", "sub/dir/t2.dat"));  // exists
  EXPECT_TRUE(fs_->FileRename("sub/dir/t2.dat", "sub/dir/T2.DAT"));  // only the case changes
  EXPECT_FALSE(fs_->FileRename("missing", "x"));
}

TEST_F(ContainerFiles, DirectoriesAndSearch) {
  EXPECT_TRUE(fs_->CreateDir("docs"));
  EXPECT_FALSE(fs_->CreateDir("docs"));
  EXPECT_FALSE(fs_->CreateDir("\\"));
  fs_->ForceDirectories("a\\b\\c");
  EXPECT_TRUE(fs_->DirExists("a/b/c"));
  Put("Res.dat", "");
  Put("Res.idx", "");
  Put("Cat.dat", "");
  Put("docs\\readme.txt", "");
  EXPECT_EQ(List("*.dat"), (std::vector<std::string>{"Cat.dat", "Res.dat"}));
  EXPECT_EQ(List("r?S.*"), (std::vector<std::string>{"Res.dat", "Res.idx"}));
  EXPECT_EQ(List("*.*").size(), 3u);  // attribute 0 skips directories
  EXPECT_EQ(List("*.*", kDirectoryAttribute).size(), 5u);
  EXPECT_EQ(List("docs\\*"), std::vector<std::string>{"readme.txt"});
  EXPECT_TRUE(fs_->DirExists("Res.dat"));  // a plain file counts
  EXPECT_TRUE(fs_->DirExists("."));
  EXPECT_FALSE(fs_->DirExists("nothing"));
  EXPECT_EQ(fs_->FileCreate("\\"), vsfsNotFound);
  EXPECT_EQ(fs_->FileCreate(""), vsfsNotFound);
  EXPECT_EQ(fs_->FileCreate("no\\such\\dir\\f"), vsfsNotFound);
  EXPECT_EQ(fs_->FileOpen("docs", fmOpenRead), vsfsNotFound);
  EXPECT_EQ(fs_->FileCreate("a\\\\b"), vsfsNotFound);  // empty component
  // Long names keep their first 259 characters.
  const std::string longName(300, 'n');
  EXPECT_TRUE(fs_->CreateDir(longName));
  EXPECT_TRUE(fs_->DirExists(longName.substr(0, 259)));
  EXPECT_EQ(List(std::string(259, 'n'), kDirectoryAttribute).size(), 1u);
}

TEST_F(ContainerFiles, CompactModeSpendsOnePagePerDirectoryItem) {
  fs_ = NewContainer(dir_.Path("compact.kvb"), dfmCompact);
  for (int i = 0; i < 5; ++i) Put("f" + std::to_string(i), "x");
  EXPECT_EQ(fs_->Directory().ItemsPerPage(), 1);
  EXPECT_EQ(fs_->PageFile().Header().dirPageCount, 5);
  fs_.reset();
  fs_ = OpenContainer(dir_.Path("compact.kvb"));
  EXPECT_EQ(Get("f4"), "x");
}

TEST_F(ContainerFiles, LargeFilesSwitchToWholeExtents) {
  Put("small", "s");
  const int32_t h = fs_->FileOpen("large", fmCreate);
  const std::string page(4064, 'L');
  for (int i = 0; i < 30; ++i) ASSERT_EQ(fs_->FileWrite(h, page.data(), 4064), 4064);
  fs_->FileClose(h);
  const TFileMaps& maps = fs_->PageMaps().GetMaps(fs_->Directory().ReadItem(1));
  ASSERT_EQ(maps.dataPages.size(), 30u);
  // Past the first extent's worth, pages come in whole extents: runs of 8
  // that start an extent.
  int runs = 0;
  for (size_t i = 9; i + 8 <= maps.dataPages.size(); ++i) {
    if ((maps.dataPages[i] - 1) % 8 != 0) continue;
    bool run = true;
    for (int k = 1; k < 8 && run; ++k) run = maps.dataPages[i + k] == maps.dataPages[i] + k;
    runs += run;
  }
  EXPECT_GE(runs, 1);
  EXPECT_EQ(Get("large"), std::string(30 * 4064, 'L'));
}

TEST_F(ContainerFiles, FreedPagesAreReusedAndExtentsFreed) {
  Put("a", std::string(100000, 'a'));
  const int32_t pages = fs_->PageFile().PageCount();
  const int64_t freeExtents = fs_->FreeSpace().SetGAMBits();
  EXPECT_TRUE(fs_->FileDelete("a"));
  EXPECT_GT(fs_->FreeSpace().SetGAMBits(), freeExtents);  // whole extents freed
  Put("b", std::string(100000, 'b'));
  EXPECT_EQ(fs_->PageFile().PageCount(), pages);  // no growth
  EXPECT_EQ(Get("b"), std::string(100000, 'b'));
}

TEST_F(ContainerFiles, EncryptedContainersCodeDataAndDirectoryPages) {
  const std::string path = dir_.Path("enc.kvb");
  {
    auto fs = NewContainer(path, dfmNormal, "pw");
    const std::string page(4064, 'Q');
    const int32_t h = fs->FileOpen("secret.dat", fmCreate);
    ASSERT_EQ(fs->FileWrite(h, page.data(), 4064), 4064);
    ASSERT_EQ(fs->FileWrite(h, page.data(), 4064), 4064);
    fs->FileClose(h);
  }
  const auto b = ReadAll(path);
  const std::string raw(b.begin(), b.end());
  EXPECT_EQ(raw.find("secret.dat"), std::string::npos);  // the directory is coded
  EXPECT_EQ(raw.find(std::string(64, 'Q')), std::string::npos);
  // Equal plain pages give equal cipher pages (6 and 7 hold the data).
  EXPECT_EQ(b[PageOffset(4096, 6) + 9], 1);
  EXPECT_TRUE(std::equal(b.begin() + long(PageOffset(4096, 6)) + 32,
                         b.begin() + long(PageOffset(4096, 7)), b.begin() + long(PageOffset(4096, 7)) + 32));
  auto fs = OpenContainer(path, "pw");
  fs_ = std::move(fs);
  EXPECT_EQ(Get("secret.dat"), std::string(8128, 'Q'));
}

TEST_F(ContainerFiles, ReadOnlyContainersRefuseChanges) {
  Put("r", "data");
  fs_.reset();
  fs_ = OpenContainer(dir_.Path("db.kvb"), "", true);
  EXPECT_TRUE(fs_->ReadOnly());
  EXPECT_EQ(Get("r"), "data");
  EXPECT_EQ(fs_->FileCreate("new"), vsfsNotFound);
  EXPECT_FALSE(fs_->FileDelete("r"));
  const int32_t h = fs_->FileOpen("r", fmOpenRead);
  EXPECT_EQ(fs_->FileWrite(h, "x", 1), 0);
  fs_->FileClose(h);
}

TEST_F(ContainerFiles, CheckTypeOneIsVerifiedWithCrc16) {
  Put("c", "crc");
  const int32_t page = fs_->PageMaps().GetMaps(fs_->Directory().ReadItem(0)).dataPages[0];
  std::vector<uint8_t> data(4064);
  TPageRecord rec;
  rec.data = data.data();
  ASSERT_TRUE(fs_->PageFile().ReadPage(rec, page, nullptr, -1));
  rec.header.checkType = 1;
  ASSERT_TRUE(fs_->PageFile().WritePage(rec, page, nullptr, -1));
  EXPECT_EQ(Get("c"), "crc");
  const auto b = ReadAll(dir_.Path("db.kvb"));
  EXPECT_EQ(b[PageOffset(4096, page) + 10], 1);
  EXPECT_LT(At<uint32_t>(b, PageOffset(4096, page) + 4), 0x10000u);
}

}  // namespace
}  // namespace kestro::test
