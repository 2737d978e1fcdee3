#include "fuzz/fuzz_container.h"

#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

#include "engine/common/clock.h"
#include "engine/common/exception.h"
#include "engine/container/formats.h"
#include "engine/crypto/checksums.h"
#include "tests/support/container_walk.h"

namespace {

// A copy of the input with the header checksum and every page's XOR check
// value made right, so that inputs reach past the checks into the maps,
// the directory and the page chains.
std::string WithChecksFixed(const uint8_t* data, size_t size) {
  std::string b(reinterpret_cast<const char*>(data), size);
  const size_t h = kestro::kPartHeaderSize;
  if (b.size() < h + kestro::kContainerHeaderSize) return b;
  auto* header = reinterpret_cast<uint8_t*>(b.data() + h);
  const uint32_t sum = kestro::XorWords(header + 12, kestro::kContainerHeaderSize - 12);
  std::memcpy(header + 8, &sum, 4);
  int32_t pageSize;
  std::memcpy(&pageSize, header + 16, 4);
  if (pageSize < kestro::kMinPageSize || pageSize > (1 << 16)) return b;
  const size_t ds = size_t(pageSize) - kestro::kPageHeaderSize;
  for (size_t at = h + size_t(pageSize); at + size_t(pageSize) <= b.size(); at += size_t(pageSize)) {
    auto* page = reinterpret_cast<uint8_t*>(b.data() + at);
    const size_t n = page[8] == kestro::ptDirectory ? ds / 512 * 512 : ds;
    const uint32_t check = kestro::XorWords(page + 32, n);
    std::memcpy(page + 4, &check, 4);
    page[10] = 0;
  }
  return b;
}

}  // namespace

int FuzzContainer(const uint8_t* data, size_t size) {
  // The password check spends 256 ms of ticks; let ticks run fast here.
  static const bool fastTicks = [] {
    kestro::SetTickCountForTesting([] {
      static uint64_t ticks = 0;
      return ticks += 128;
    });
    return true;
  }();
  (void)fastTicks;
  static const std::string path = [] {
    const char* shm = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(shm) + "/kestro-fuzz-" + std::to_string(getpid()) + ".kvb";
  }();
  const std::string inputs[] = {std::string(reinterpret_cast<const char*>(data), size),
                                WithChecksFixed(data, size)};
  for (const std::string& input : inputs) {
    {
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out.write(input.data(), std::streamsize(input.size()));
    }
    for (const char* password : {"", "pw"}) {
      try {
        kestro::test::ReadWholeContainer(path, password);
      } catch (const kestro::Exception&) {
      }
    }
  }
  unlink(path.c_str());
  return 0;
}
