#include "engine/common/clock.h"

#include <chrono>
#include <ctime>

namespace kestro {
namespace {

std::function<TTimeStamp()>& NowHook() {
  static std::function<TTimeStamp()> hook;
  return hook;
}

std::function<uint64_t()>& TickHook() {
  static std::function<uint64_t()> hook;
  return hook;
}

}  // namespace

TTimeStamp LocalNow() {
  if (NowHook()) return NowHook()();
  const auto now = std::chrono::system_clock::now();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch());
  const std::time_t secs = static_cast<std::time_t>(ms.count() / 1000);
  std::tm local{};
  localtime_r(&secs, &local);
  TTimeStamp ts;
  TryEncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, ts.date);
  int32_t t = 0;
  TryEncodeTime(local.tm_hour, local.tm_min, local.tm_sec > 59 ? 59 : local.tm_sec,
                static_cast<int>(ms.count() % 1000), t);
  ts.time = t;
  return ts;
}

uint64_t TickCount() {
  if (TickHook()) return TickHook()();
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

void SetLocalNowForTesting(std::function<TTimeStamp()> now) { NowHook() = std::move(now); }
void SetTickCountForTesting(std::function<uint64_t()> ticks) { TickHook() = std::move(ticks); }

}  // namespace kestro
