#include "engine/common/memory_probe.h"

#include <atomic>
#include <chrono>
#include <cstdint>

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
  // Asked on every appended record: one system call per 50 ms is plenty.
  static std::atomic<uint64_t> cached{0};
  static std::atomic<int64_t> takenAt{-1};
  const int64_t now = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
  const int64_t taken = takenAt.load(std::memory_order_relaxed);
  if (taken >= 0 && now - taken < 50) return cached.load(std::memory_order_relaxed);
  struct sysinfo info {};
  // Free plus reclaimable page cache is what the process can still use.
  const uint64_t free = sysinfo(&info) != 0
                            ? 256ull << 20
                            : (uint64_t(info.freeram) + uint64_t(info.bufferram)) * info.mem_unit;
  cached.store(free, std::memory_order_relaxed);
  takenAt.store(now, std::memory_order_relaxed);
  return free;
}

void SetFreeMemoryForTesting(std::function<uint64_t()> probe) { Hook() = std::move(probe); }

}  // namespace kestro
