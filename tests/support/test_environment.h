// Every test program runs under a fixed locale and clock, so results do not
// depend on the machine: the locale's fixed settings ("dd.mm.yyyy",
// "hh:nn:ss", '.') and 11 December 2026, 10:30:00.
#pragma once

#include "engine/common/datetime.h"

namespace kestro::test {

TTimeStamp FixedNow();

}  // namespace kestro::test
