// Free physical memory as the engine's cache and write log see it,
// replaceable in tests.
#pragma once

#include <cstdint>
#include <functional>

namespace kestro {

uint64_t FreePhysicalMemory();
void SetFreeMemoryForTesting(std::function<uint64_t()> probe);

}  // namespace kestro
