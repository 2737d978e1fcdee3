#include <gtest/gtest.h>

#include <filesystem>

#include "engine/common/exception.h"
#include "engine/container/huge_file.h"
#include "tests/container/container_test_util.h"

namespace kestro::test {
namespace {

std::string NextName(const std::string& path) {
  const auto b = ReadAll(path);
  return std::string(reinterpret_cast<const char*>(b.data() + 16));
}

TEST(HugeFile, SmallPartsSplitTheStreamIntoNamedParts) {
  TempDir dir;
  const std::string base = dir.Path("db.kvb");
  TVSFSHugeFile f(base, 1000, false, false, false);
  ASSERT_TRUE(f.Open(true));
  std::string data(2000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = char(i % 251);
  data.replace(0, 8, "VLSFSSGN");  // the stream must start as a container does
  ASSERT_EQ(f.Write(data.data(), 2000), 2000);
  // 720 stream bytes per part: 720 + 720 + 560.
  ASSERT_EQ(f.PartCount(), 3u);
  EXPECT_EQ(std::filesystem::file_size(base), 1000u);
  EXPECT_EQ(std::filesystem::file_size(base + "1"), 1000u);
  EXPECT_EQ(std::filesystem::file_size(base + "2"), 280u + 560u);
  EXPECT_EQ(NextName(base), "db.kvb1");
  EXPECT_EQ(NextName(base + "1"), "db.kvb2");
  EXPECT_EQ(NextName(base + "2"), "");
  f.Close();

  TVSFSHugeFile g(base, -1, false, false, false);
  ASSERT_TRUE(g.Open(false));
  EXPECT_EQ(g.PartSize(), 1000);
  EXPECT_EQ(g.Size(), 2000);
  std::string back(2000, '\0');
  g.Seek(0, 0);
  ASSERT_EQ(g.Read(back.data(), 2000), 2000);
  EXPECT_EQ(back, data);
  // Shrinking to 500 bytes drops the last two parts.
  ASSERT_TRUE(g.SetSize(500));
  EXPECT_EQ(g.PartCount(), 1u);
  EXPECT_FALSE(std::filesystem::exists(base + "1"));
  EXPECT_FALSE(std::filesystem::exists(base + "2"));
  EXPECT_EQ(NextName(base), "");
  EXPECT_EQ(std::filesystem::file_size(base), 780u);
  // Growing again adds parts.
  ASSERT_TRUE(g.SetSize(1500));
  EXPECT_EQ(g.PartCount(), 3u);
  EXPECT_EQ(g.Size(), 1500);
}

TEST(HugeFile, PartSizeLimitsAndSeeking) {
  TempDir dir;
  EXPECT_EQ(ErrorOf([&] { TVSFSHugeFile(dir.Path("a"), 379, false, false, false); }),
            "File part size is too small. Minimal part size is 380");
  TVSFSHugeFile f(dir.Path("a"), 380, false, false, false);
  ASSERT_TRUE(f.Open(true));
  EXPECT_EQ(ErrorOf([&] { f.Seek(-1, 0); }), "TVSFSHugeFile.Seek - Offset < 0 from file beginning.");
  EXPECT_EQ(f.Seek(250, 0), 250);  // past the end: the write fills the gap
  ASSERT_EQ(f.Write("z", 1), 1);
  EXPECT_EQ(f.Size(), 251);
  EXPECT_EQ(f.PartCount(), 3u);
  f.Seek(300, 0);
  char c;
  EXPECT_EQ(ErrorOf([&] { f.Read(&c, 1); }), "TVSFSHugeFile.Read - Stream read error.");
  EXPECT_EQ(ErrorOf([&] { f.Open(false); }), "TVSFSHugeFile.InternalOpen - File is already open.");
}

TEST(HugeFile, AContainerAfterOtherDataIsFoundAndOpens) {
  TempDir dir;
  const std::string plain = dir.Path("plain.kvb");
  {
    auto fs = NewContainer(plain);
    const int32_t h = fs->FileOpen("x", fmCreate);
    fs->FileWrite(h, "embedded", 8);
    fs->FileClose(h);
  }
  std::vector<uint8_t> bytes(5000, 'V');  // decoys: the magic's first bytes
  bytes[100] = 'V', bytes[101] = 'L', bytes[102] = 'M', bytes[103] = 'V';
  const auto container = ReadAll(plain);
  bytes.insert(bytes.end(), container.begin(), container.end());
  const std::string embedded = dir.Path("embedded.bin");
  WriteAll(embedded, bytes);

  TVSFSHugeFile f(embedded, -1, false, false, true);
  ASSERT_TRUE(f.Open(false));
  EXPECT_EQ(f.EmbeddingOffset(), 5000);
  f.Close();
  auto fs = OpenContainer(embedded);
  const int32_t h = fs->FileOpen("x", fmOpenRead);
  char buf[8];
  ASSERT_EQ(fs->FileRead(h, buf, 8), 8);
  EXPECT_EQ(std::string(buf, 8), "embedded");
  // Writes keep the data in front.
  fs->FileWrite(h, "!", 1);
  fs->FileClose(h);
  fs.reset();
  const auto after = ReadAll(embedded);
  EXPECT_EQ(after[100], 'V');
  EXPECT_EQ(after[4999], 'V');
}

TEST(HugeFile, MemoryChainsKeepTheirDataUntilDestroyed) {
  TempDir dir;
  TVSFSHugeFile f(dir.Path("m"), 1000, true, false, false);
  ASSERT_TRUE(f.Open(true));
  ASSERT_EQ(f.Write(std::string(1500, 'm').data(), 1500), 1500);
  f.Close();
  EXPECT_FALSE(std::filesystem::exists(dir.Path("m")));
  ASSERT_TRUE(f.Open(false));
  EXPECT_EQ(f.Size(), 1500);
  EXPECT_EQ(ErrorOf([] { TVSFSMemoryFile("x").Open(false); }),
            "TVSFSMemoryFile.Open - File cannot be open, only creation is available.");
}

TEST(HugeFile, InMemoryContainersLoadAnExistingFile) {
  TempDir dir;
  const std::string path = dir.Path("disk.kvb");
  {
    auto fs = NewContainer(path);
    const int32_t h = fs->FileOpen("x", fmCreate);
    fs->FileWrite(h, "disk", 4);
    fs->FileClose(h);
  }
  const auto before = ReadAll(path);
  {
    TVSingleFileSystem mem(path, -1, 8, 4096, "", true, fmCreate);
    const int32_t h = mem.FileOpen("x", fmOpenReadWrite);
    char buf[4];
    ASSERT_EQ(mem.FileRead(h, buf, 4), 4);
    EXPECT_EQ(std::string(buf, 4), "disk");
    mem.FileWrite(h, "more", 4);
    mem.FileClose(h);
  }
  EXPECT_EQ(ReadAll(path), before);  // the disk file is untouched
}

}  // namespace
}  // namespace kestro::test
