#include "host/host_time.h"

#include <limits>

namespace {

constexpr int64_t seconds_1601_to_1970 = 11644473600;
constexpr uint64_t ticks_per_second = 10000000;

}  // namespace

uint64_t timestamp_from_unix(int64_t seconds, uint32_t nanoseconds) {
  if (seconds < -seconds_1601_to_1970) return 0;
  return static_cast<uint64_t>(seconds + seconds_1601_to_1970) * ticks_per_second +
         nanoseconds / 100;
}

timespec timespec_from_timestamp(uint64_t timestamp) {
  // 2^64 ticks are about 1.8e12 seconds: far inside a 64-bit time_t, but
  // not inside a 32-bit one, where casting would wrap.
  constexpr int64_t lowest = std::numeric_limits<time_t>::min();
  constexpr int64_t highest = std::numeric_limits<time_t>::max();
  int64_t seconds = static_cast<int64_t>(timestamp / ticks_per_second) - seconds_1601_to_1970;
  timespec t{};
  if (seconds < lowest || seconds > highest) {
    t.tv_sec = static_cast<time_t>(seconds < lowest ? lowest : highest);
    return t;
  }
  t.tv_sec = static_cast<time_t>(seconds);
  t.tv_nsec = static_cast<long>(timestamp % ticks_per_second) * 100;
  return t;
}

uint64_t timestamp_now() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return timestamp_from_unix(now.tv_sec, static_cast<uint32_t>(now.tv_nsec));
}
