// Container throughput against plain file I/O on the same disk, printed as
// ratios measured in one run: sequential write and read of a 64 MiB file
// in 64 KiB chunks and random 4 KiB reads, unencrypted and encrypted.
// Reads take the best of three passes on both sides; writes end with a
// flush to the disk on both sides.
//
//   bench_container [directory]   (default: the current directory)
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "engine/container/single_file_system.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int64_t kTotal = 64 << 20;
constexpr int64_t kChunk = 64 << 10;
constexpr int kRandomReads = 20000;
constexpr int64_t kRandomSize = 4096;
constexpr int kPasses = 3;  // reads: the best of three passes

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

struct Times {
  double write, read, random;
};

std::vector<int64_t> RandomOffsets() {
  std::mt19937_64 rng(42);
  std::uniform_int_distribution<int64_t> pick(0, kTotal / kRandomSize - 1);
  std::vector<int64_t> v(kRandomReads);
  for (auto& o : v) o = pick(rng) * kRandomSize;
  return v;
}

Times PlainFile(const std::string& path) {
  std::vector<char> buf(kChunk, 'p');
  Times t{};
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
  auto start = Clock::now();
  for (int64_t done = 0; done < kTotal; done += kChunk)
    if (::write(fd, buf.data(), kChunk) != kChunk) std::perror("write");
  ::fdatasync(fd);
  t.write = Seconds(start);
  t.read = t.random = 1e9;
  const auto offsets = RandomOffsets();
  for (int pass = 0; pass < kPasses; ++pass) {
    ::lseek(fd, 0, SEEK_SET);
    start = Clock::now();
    for (int64_t done = 0; done < kTotal; done += kChunk)
      if (::read(fd, buf.data(), kChunk) != kChunk) std::perror("read");
    t.read = std::min(t.read, Seconds(start));
    start = Clock::now();
    for (int64_t o : offsets)
      if (::pread(fd, buf.data(), kRandomSize, o) != kRandomSize) std::perror("pread");
    t.random = std::min(t.random, Seconds(start));
  }
  ::close(fd);
  ::unlink(path.c_str());
  return t;
}

Times Container(const std::string& path, const std::string& password) {
  std::vector<char> buf(kChunk, 'c');
  Times t{};
  {
    kestro::TVSingleFileSystem fs(path, -1, 8, 4096, password, false, kestro::fmCreate);
    const int32_t h = fs.FileOpen("data.bin", kestro::fmCreate);
    auto start = Clock::now();
    for (int64_t done = 0; done < kTotal; done += kChunk)
      if (fs.FileWrite(h, buf.data(), kChunk) != kChunk) std::fprintf(stderr, "write failed\n");
    fs.Flush();
    t.write = Seconds(start);
    t.read = t.random = 1e9;
    const auto offsets = RandomOffsets();
    for (int pass = 0; pass < kPasses; ++pass) {
      fs.FileSeek(h, 0, 0);
      start = Clock::now();
      for (int64_t done = 0; done < kTotal; done += kChunk)
        if (fs.FileRead(h, buf.data(), kChunk) != kChunk) std::fprintf(stderr, "read failed\n");
      t.read = std::min(t.read, Seconds(start));
      start = Clock::now();
      for (int64_t o : offsets) {
        fs.FileSeek(h, o, 0);
        if (fs.FileRead(h, buf.data(), kRandomSize) != kRandomSize)
          std::fprintf(stderr, "random read failed\n");
      }
      t.random = std::min(t.random, Seconds(start));
    }
    fs.FileClose(h);
  }
  std::filesystem::remove(path);
  return t;
}

void Row(const char* name, double plain, double plainMiB, double unenc, double enc) {
  std::printf("%-22s %9.1f %12.2f %12.2f %12.2f %10.2f\n", name, plainMiB / plain, plain / unenc,
              plain / enc, enc / unenc, plainMiB / unenc);
}

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path dir = argc > 1 ? argv[1] : ".";
  const Times plain = PlainFile((dir / "bench-plain.bin").string());
  const Times unenc = Container((dir / "bench-plain.kvb").string(), "");
  const Times enc = Container((dir / "bench-enc.kvb").string(), "bench password");
  const double mib = double(kTotal) / (1 << 20);
  const double randomMiB = double(kRandomReads) * kRandomSize / (1 << 20);
  std::printf("%-22s %9s %12s %12s %12s %10s\n", "workload", "plain MiB/s", "unenc/plain",
              "enc/plain", "enc cost", "unenc MiB/s");
  Row("sequential write", plain.write, mib, unenc.write, enc.write);
  Row("sequential read", plain.read, mib, unenc.read, enc.read);
  Row("random 4 KiB reads", plain.random, randomMiB, unenc.random, enc.random);
  std::printf("(unenc/plain and enc/plain are throughput ratios; enc cost is time "
              "encrypted / unencrypted)\n");
  return 0;
}
