// The local date and time and a millisecond tick count, replaceable in tests.
#pragma once

#include <cstdint>
#include <functional>

#include "engine/common/datetime.h"

namespace kestro {

TTimeStamp LocalNow();
uint64_t TickCount();  // milliseconds, monotonic

// Replaces the clocks until reset with nullptr (not thread-safe).
void SetLocalNowForTesting(std::function<TTimeStamp()> now);
void SetTickCountForTesting(std::function<uint64_t()> ticks);

}  // namespace kestro
