// The host's time stamps: 100-nanosecond intervals since 1601-01-01 UTC,
// and their conversion to and from the system's seconds since 1970.
#pragma once

#include <cstdint>
#include <ctime>

// A time in seconds and nanoseconds since 1970 as a host time stamp. Times
// before 1601 give 0 rather than wrapping.
uint64_t timestamp_from_unix(int64_t seconds, uint32_t nanoseconds);

// A host time stamp as seconds and nanoseconds since 1970 (negative seconds
// before 1970). A 64-bit time_t holds every 64-bit value; a 32-bit one
// (32-bit x86) holds 1901-12-13 to 2038-01-19 only, and times outside
// clamp to that range's ends with 0 nanoseconds. The caller decides what
// "all ones" (unknown) means.
timespec timespec_from_timestamp(uint64_t timestamp);

// The current time as a host time stamp.
uint64_t timestamp_now();
