// Host time stamps as seconds and nanoseconds since 1970, and back.
#include "host/host_time.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

namespace {

TEST(HostTime, TimespecFromTimestampAndBack) {
  struct case_t {
    const char* what;
    uint64_t timestamp;
    int64_t seconds;
    long nanoseconds;
  } cases[] = {
      {"1601", 0, -11644473600, 0},
      {"1970", 116444736000000000ull, 0, 0},
      {"100 ns before 1970", 116444735999999999ull, -1, 999999900},
      {"2001-09-09T01:46:40.5Z", 126444736005000000ull, 1000000000, 500000000},
      {"2100-01-01T00:00:00.25Z", 157469184002500000ull, 4102444800, 250000000},
  };
  // A 32-bit time_t holds 1901-12-13 to 2038-01-19: rows outside come back
  // clamped to its ends, with 0 nanoseconds. A 64-bit one holds them all.
  constexpr int64_t lowest = std::numeric_limits<time_t>::min();
  constexpr int64_t highest = std::numeric_limits<time_t>::max();
  for (const case_t& c : cases) {
    SCOPED_TRACE(c.what);
    timespec t = timespec_from_timestamp(c.timestamp);
    bool held = c.seconds >= lowest && c.seconds <= highest;
    EXPECT_EQ(t.tv_sec, std::clamp(c.seconds, lowest, highest));
    EXPECT_EQ(t.tv_nsec, held ? c.nanoseconds : 0);
    if (held) {
      EXPECT_EQ(timestamp_from_unix(t.tv_sec, static_cast<uint32_t>(t.tv_nsec)), c.timestamp);
    }
  }
}

}  // namespace
