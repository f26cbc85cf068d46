#include "io/string.h"

#include <gtest/gtest.h>

#include <cstring>

#include "io/exceptions.h"
#include "tests/support/expect_throw.h"

using plix::string8;
using plix::string8_fastalloc;

TEST(StringBasics, NewStringIsEmptyWithoutAllocation) {
  string8 s;
  EXPECT_EQ(s.get_length(), 0u);
  EXPECT_STREQ(s.get_ptr(), "");
  EXPECT_EQ(s.capacity(), 0u);
}

TEST(StringBasics, AddStringStopsAtMaxOrNul) {
  struct row {
    const char* what;
    const char* text;
    uint32_t length_of_text;
    uint32_t max;
    const char* expected;
  };
  const row rows[] = {
      {"max cuts", "abcdef", 6, 3, "abc"},
      {"nul inside max", "ab\0cd", 5, 5, "ab"},
      {"all ones means up to nul", "hello", 5, plix::infinite_size, "hello"},
      {"max zero", "abc", 3, 0, ""},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    string8 s;
    s.add_string(r.text, r.max);
    EXPECT_STREQ(s.get_ptr(), r.expected);
    EXPECT_EQ(s.get_length(), std::strlen(r.expected));
  }
}

TEST(StringBasics, SetStringWithMaxZeroKeepsATerminator) {
  string8 s("something long enough");
  s.set_string("xyz", 0);
  EXPECT_EQ(s.get_length(), 0u);
  EXPECT_STREQ(s.get_ptr(), "");
  EXPECT_GE(s.capacity(), 1u);
}

TEST(StringBasics, TruncateCutsBytesEvenInsideUtf8) {
  string8 s("h\xC3\xA9llo");  // h, e-acute (2 bytes), llo
  s.truncate(10);
  EXPECT_EQ(s.get_length(), 6u);
  s.truncate(2);
  EXPECT_EQ(s.get_length(), 2u);
  EXPECT_EQ(std::memcmp(s.get_ptr(), "h\xC3", 3), 0);
}

TEST(StringBasics, LockAndUnlockBuffer) {
  string8 s("previous");
  char* p = s.lock_buffer(10);
  for (int i = 0; i < 11; ++i) EXPECT_EQ(p[i], 0) << i;
  p[0] = 'o';
  p[1] = 'k';
  s.unlock_buffer();
  EXPECT_EQ(s.get_length(), 2u);
  EXPECT_STREQ(s.get_ptr(), "ok");

  s.lock_buffer(5);
  s.unlock_buffer();
  EXPECT_EQ(s.get_length(), 0u);
}

TEST(StringBasics, LockBufferOfAllOnesOverflows) {
  string8 s("keep");
  EXPECT_THROW_EXACT(s.lock_buffer(plix::infinite_size), plix::exception_overflow, "Overflow");
  EXPECT_STREQ(s.get_ptr(), "keep");
}

TEST(StringBasics, AppendingItselfDoublesEvenWhenTheBlockMoves) {
  for (uint32_t n : {3u, 19u, 100u, 1000u}) {
    SCOPED_TRACE(n);
    std::string text(n, 'x');
    for (uint32_t i = 0; i < n; ++i) text[i] = static_cast<char>('a' + i % 26);
    string8 s(text.c_str());
    s.add_string(s.get_ptr());
    EXPECT_EQ(std::string(s.get_ptr()), text + text);
    string8_fastalloc f(text.c_str());
    f.add_string(f.get_ptr() + 1, 5);
    EXPECT_EQ(std::string(f.get_ptr()), text + text.substr(1, 5));
  }
}

TEST(StringBasics, SetStringFromInsideItself) {
  string8 s("prefix-tail");
  s.set_string(s.get_ptr() + 7);
  EXPECT_STREQ(s.get_ptr(), "tail");
}

TEST(StringGrowth, StandardPolicyBlockSizes) {
  string8 s;
  s.set_string("abc");
  EXPECT_EQ(s.capacity(), 20u);  // required 4, plus 16
  s.set_string("abcdefgh");
  EXPECT_EQ(s.capacity(), 20u);
  s.set_string(std::string(19, 'x').c_str());
  EXPECT_EQ(s.capacity(), 20u);
  s.set_string(std::string(100, 'x').c_str());
  EXPECT_EQ(s.capacity(), 117u);
  s.set_string("y");
  EXPECT_EQ(s.capacity(), 2u);  // shrinks exactly, without slack

  string8 t("abc");
  t.truncate(0);
  EXPECT_EQ(t.capacity(), 20u);  // required 1: 19 surplus bytes stay
}

TEST(StringGrowth, StandardPolicyShrinksOnlyPast32SurplusBytes) {
  struct row {
    uint32_t block;
    uint32_t after;
  };
  for (row r : {row{33, 33}, row{34, 1}}) {
    SCOPED_TRACE(r.block);
    byte_array a;
    a.set_size(r.block);
    plix::alloc_standard::make_space(a, 1);
    EXPECT_EQ(a.allocated(), r.after);
  }
}

TEST(StringGrowth, AggressivePolicyDoublesAndNeverShrinks) {
  string8_fastalloc s;
  const uint32_t expected[] = {2, 4, 4, 8, 8, 8, 8, 16};
  for (uint32_t want : expected) {
    s.add_string("x");
    EXPECT_EQ(s.capacity(), want);
  }
  s.set_string("");
  EXPECT_EQ(s.capacity(), 16u);
  s.truncate(0);
  EXPECT_EQ(s.capacity(), 16u);
}

TEST(StringLimits, RequestsNearTheLimitFailBeforeAllocating) {
  byte_array a;
  a.set_size(8);
  EXPECT_THROW_EXACT(plix::alloc_standard::make_space(a, 0xFFFFFFF0u), plix::bad_alloc,
                     "bad allocation");
  EXPECT_EQ(a.allocated(), 8u);
  EXPECT_THROW_EXACT(plix::alloc_fast_aggressive::make_space(a, 0x80000001u), plix::bad_alloc,
                     "bad allocation");
  EXPECT_EQ(a.allocated(), 8u);
  EXPECT_THROW_EXACT(guarded_reallocate(nullptr, 0x40000001u, 4), plix::bad_alloc,
                     "bad allocation");
}

TEST(ByteArray, ReallocateKeepsContentAndZeroReleases) {
  byte_array a;
  a.set_size(4);
  std::memcpy(a.data(), "abcd", 4);
  a.set_size(1000);
  EXPECT_EQ(std::memcmp(a.data(), "abcd", 4), 0);
  EXPECT_EQ(a.size(), 1000u);
  a.set_size(2);
  EXPECT_EQ(a.allocated(), 2u);
  EXPECT_EQ(std::memcmp(a.data(), "ab", 2), 0);
  a.set_size(0);
  EXPECT_EQ(a.data(), nullptr);
}
