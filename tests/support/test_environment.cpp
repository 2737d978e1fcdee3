#include "tests/support/test_environment.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>

#include "engine/common/clock.h"
#include "engine/common/locale.h"

namespace kestro::test {

TTimeStamp FixedNow() {
  TTimeStamp ts;
  TryEncodeDate(2026, 12, 11, ts.date);
  TryEncodeTime(10, 30, 0, 0, ts.time);
  return ts;
}

namespace {

class FixedEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    setenv("TZ", "UTC", 1);  // directory times are stored as UTC
    tzset();
    TVellLocale::SetCurrent(TVellLocale::Fixed());
    SetLocalNowForTesting(FixedNow);
    // Each reading of the tick count moves 64 ms on, so time-bound loops
    // (the password check) finish in a few steps.
    SetTickCountForTesting([] {
      static uint64_t ticks = 0;
      return ticks += 64;
    });
  }
  void TearDown() override {
    SetLocalNowForTesting(nullptr);
    SetTickCountForTesting(nullptr);
  }
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new FixedEnvironment);

}  // namespace
}  // namespace kestro::test
