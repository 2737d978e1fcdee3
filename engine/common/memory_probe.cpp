#include "engine/common/memory_probe.h"

#include <sys/sysinfo.h>

namespace kestro {
namespace {

std::function<uint64_t()>& Hook() {
  static std::function<uint64_t()> hook;
  return hook;
}

}  // namespace

uint64_t FreePhysicalMemory() {
  if (Hook()) return Hook()();
  struct sysinfo info {};
  if (sysinfo(&info) != 0) return 256ull << 20;
  // Free plus reclaimable page cache is what the process can still use.
  return (uint64_t(info.freeram) + uint64_t(info.bufferram)) * info.mem_unit;
}

void SetFreeMemoryForTesting(std::function<uint64_t()> probe) { Hook() = std::move(probe); }

}  // namespace kestro
