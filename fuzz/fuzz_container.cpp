#include "fuzz/fuzz_container.h"

#include <unistd.h>

#include <fstream>
#include <string>

#include "engine/common/clock.h"
#include "engine/common/exception.h"
#include "tests/support/container_walk.h"

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
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
  }
  for (const char* password : {"", "pw"}) {
    try {
      kestro::test::ReadWholeContainer(path, password);
    } catch (const kestro::Exception&) {
    }
  }
  unlink(path.c_str());
  return 0;
}
