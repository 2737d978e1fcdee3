// Every test program runs under a fixed locale and clock, so results do not
// depend on the machine: the locale's fixed settings ("dd.mm.yyyy",
// "hh:nn:ss", '.'), 11 December 2026, 10:30:00 in UTC, and a tick count
// that advances 64 ms at every reading.
#pragma once

#include "engine/common/datetime.h"

namespace kestro::test {

TTimeStamp FixedNow();

}  // namespace kestro::test
