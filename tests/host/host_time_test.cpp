// Host time stamps as seconds and nanoseconds since 1970, and back.
#include "host/host_time.h"

#include <gtest/gtest.h>

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
  };
  for (const case_t& c : cases) {
    SCOPED_TRACE(c.what);
    timespec t = timespec_from_timestamp(c.timestamp);
    EXPECT_EQ(t.tv_sec, c.seconds);
    EXPECT_EQ(t.tv_nsec, c.nanoseconds);
    EXPECT_EQ(timestamp_from_unix(t.tv_sec, static_cast<uint32_t>(t.tv_nsec)), c.timestamp);
  }
}

}  // namespace
