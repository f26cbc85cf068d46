// The content index's database: what one store writes another reads, and a
// database that is damaged, cut short, not a database or left mid-write by
// a dead process costs at most a rebuild.
#include "archive/index_store.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "archive/index_settings.h"
#include "tests/support/sample_files.h"

namespace fs = std::filesystem;

namespace {

class IndexStore : public testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/brenmoor-index-XXXXXX";
    folder_ = ::mkdtemp(name);
  }
  void TearDown() override { fs::remove_all(folder_); }

  std::unique_ptr<index_store> open(uint64_t budget = uint64_t{1} << 30) {
    return index_store::open(folder_ + "/cache", budget);
  }
  std::string database() const { return folder_ + "/cache/index.sqlite3"; }

  // Writes `key`'s content: two checkpoints, the verified mark, a table.
  static void fill(index_store& s, const index_key& key) {
    s.add_checkpoint(key, "/a.tar.gz", 7, {8 << 20, std::vector<uint8_t>(300, 1), 0xAB});
    s.add_checkpoint(key, "/a.tar.gz", 7, {16 << 20, std::vector<uint8_t>(40, 2), 0xCD});
    s.set_verified(key, "/a.tar.gz", 7);
    s.set_content_size(key, "/a.tar.gz", 7, 123456789);
    s.set_attachment(key, "/a.tar.gz", 7, std::vector<uint8_t>(1000, 3));
    s.flush();
  }

  std::string folder_;
  const index_key key_{"gz", 123456, 0xFEEDFACECAFEBEEF};
};

}  // namespace

TEST(IndexSettings, ChosenByTheEnvironment) {
  struct row {
    const char* what;
    const char *index, *size, *cache, *home;
    index_mode mode;
    const char* folder;
    uint64_t budget;
  };
  const row rows[] = {
      {"default: the XDG cache", nullptr, nullptr, "/c", "/h", index_mode::disk, "/c/brenmoor",
       1u << 30},
      {"a relative XDG cache is ignored", "", nullptr, "c", "/h", index_mode::disk,
       "/h/.cache/brenmoor", 1u << 30},
      {"no home at all", nullptr, nullptr, nullptr, nullptr, index_mode::memory, "", 1u << 30},
      {"memory", "memory", nullptr, "/c", "/h", index_mode::memory, "", 1u << 30},
      {"off", "off", nullptr, "/c", "/h", index_mode::off, "", 1u << 30},
      {"a folder", "/x/y", "64M", "/c", "/h", index_mode::disk, "/x/y", 64u << 20},
      {"bytes", nullptr, "4096", "/c", "/h", index_mode::disk, "/c/brenmoor", 4096},
      {"a bad size is the default", nullptr, "12Q", "/c", "/h", index_mode::disk, "/c/brenmoor",
       1u << 30},
      {"a size past 2^64", nullptr, "99999999999999T", "/c", "/h", index_mode::disk,
       "/c/brenmoor", 1u << 30},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    index_settings s = parse_index_settings(r.index, r.size, r.cache, r.home);
    EXPECT_EQ(s.mode, r.mode);
    EXPECT_EQ(s.folder, r.folder);
    EXPECT_EQ(s.budget, r.budget);
  }
}

TEST_F(IndexStore, WhatOneStoreWritesAnotherReads) {
  fill(*open(), key_);
  EXPECT_EQ(fs::status(folder_ + "/cache").permissions() & fs::perms::all, fs::perms::owner_all);
  auto s = open();
  stored_content got;
  ASSERT_TRUE(s->load(key_, "/b.tar.gz", 9, got));
  ASSERT_EQ(got.checkpoints.size(), 2u);
  EXPECT_EQ(got.checkpoints[0].output_position, 8u << 20);
  EXPECT_EQ(got.checkpoints[0].state, std::vector<uint8_t>(300, 1));
  EXPECT_EQ(got.checkpoints[0].check, 0xABu);
  EXPECT_EQ(got.checkpoints[1].output_position, 16u << 20);
  EXPECT_TRUE(got.verified);
  EXPECT_EQ(got.content_size, 123456789u);
  EXPECT_EQ(got.attachment, std::vector<uint8_t>(1000, 3));
  // Another fingerprint, size or type is another file.
  for (index_key other : {index_key{"gz", 123456, 1}, index_key{"gz", 1, key_.fingerprint},
                          index_key{"bz2", 123456, key_.fingerprint}}) {
    stored_content none;
    EXPECT_FALSE(s->load(other, "/a.tar.gz", 7, none));
  }
  s->drop(key_);
  s->flush();
  stored_content none;
  EXPECT_FALSE(s->load(key_, "/a.tar.gz", 7, none));
  EXPECT_EQ(s->status().archives, 0u);
}

TEST_F(IndexStore, TheLeastRecentlyUsedGoBeyondTheBudget) {
  auto s = open(3000);
  index_key a{"gz", 1, 1}, b{"gz", 2, 2}, c{"gz", 3, 3};
  s->add_checkpoint(a, "/a", 1, {1, std::vector<uint8_t>(1000), 0});
  s->flush();
  s->add_checkpoint(b, "/b", 1, {1, std::vector<uint8_t>(1000), 0});
  s->flush();
  stored_content seen;
  // Seconds order use: wait for the next one so that "a" is newer than "b".
  ::sleep(1);
  ASSERT_TRUE(s->load(a, "/a", 1, seen));
  s->flush();
  s->add_checkpoint(c, "/c", 1, {1, std::vector<uint8_t>(1000), 0});
  s->flush();
  stored_content got;
  EXPECT_TRUE(s->load(a, "/a", 1, got));
  EXPECT_FALSE(s->load(b, "/b", 1, got));
  EXPECT_TRUE(s->load(c, "/c", 1, got));
}

TEST_F(IndexStore, ADamagedDatabaseCostsAtMostARebuild) {
  struct damage {
    const char* what;
    std::function<void(const std::string&)> apply;
  };
  const damage cases[] = {
      {"cut to half",
       [](const std::string& f) { fs::resize_file(f, fs::file_size(f) / 2); }},
      {"cut to 10 bytes", [](const std::string& f) { fs::resize_file(f, 10); }},
      {"not a database", [](const std::string& f) { std::ofstream(f) << "hello, not sqlite\n"; }},
      {"empty", [](const std::string& f) { std::ofstream(f, std::ios::trunc); }},
      {"the header zeroed",
       [](const std::string& f) {
         std::fstream io(f, std::ios::in | std::ios::out | std::ios::binary);
         io.write(std::string(100, '\0').data(), 100);
       }},
  };
  for (const damage& d : cases) {
    SCOPED_TRACE(d.what);
    fs::remove_all(folder_ + "/cache");
    fill(*open(), key_);
    d.apply(database());
    for (const char* suffix : {"-wal", "-shm"}) fs::remove(database() + suffix);
    auto s = open();
    ASSERT_NE(s, nullptr);
    stored_content got;
    s->load(key_, "/a.tar.gz", 7, got);  // whatever it finds, if anything
    fill(*s, key_);
    stored_content again;
    EXPECT_TRUE(s->load(key_, "/a.tar.gz", 7, again));
    EXPECT_TRUE(s->status().working);
  }
}

// Bytes all over a database flipped in turn (64 places spread over the
// file, to keep it short): opening, reading and writing it never crashes or
// hangs, and the store keeps working.
TEST_F(IndexStore, AnyByteFlippedNeverStopsTheStore) {
  fill(*open(), key_);
  for (const char* suffix : {"-wal", "-shm"}) ASSERT_FALSE(fs::exists(database() + suffix));
  std::string good = read_file(database());
  for (size_t at = 0; at < good.size(); at += good.size() / 64 + 1) {
    SCOPED_TRACE(at);
    std::string bad = good;
    bad[at] = static_cast<char>(bad[at] ^ 0x5A);
    std::ofstream(database(), std::ios::binary | std::ios::trunc) << bad;
    auto s = open();
    ASSERT_NE(s, nullptr);
    stored_content got;
    s->load(key_, "/a.tar.gz", 7, got);
    fill(*s, key_);
    EXPECT_TRUE(s->status().working);
  }
}

// A process that died in the middle of a write leaves its transaction
// behind: the next process reads what was committed and writes on.
TEST_F(IndexStore, AWriterThatDiedMidTransactionLeavesNoLock) {
  fill(*open(), key_);
  pid_t child = ::fork();
  if (child == 0) {
    sqlite3* db = nullptr;
    bool began = sqlite3_open(database().c_str(), &db) == SQLITE_OK &&
                 sqlite3_exec(db, "BEGIN IMMEDIATE; DELETE FROM checkpoints;", nullptr, nullptr,
                              nullptr) == SQLITE_OK;
    ::_exit(began ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  auto s = open();
  stored_content got;
  EXPECT_TRUE(s->load(key_, "/a.tar.gz", 7, got));
  EXPECT_EQ(got.checkpoints.size(), 2u);
  fill(*s, key_);
  EXPECT_TRUE(s->status().working);
}

// A store used before a fork goes on in the child (the mount detaches so).
TEST_F(IndexStore, AStoreGoesOnInAForkedChild) {
  auto s = open();
  fill(*s, key_);
  pid_t child = ::fork();
  if (child == 0) {
    stored_content got;
    bool ok = s->load(key_, "/a.tar.gz", 7, got) && got.checkpoints.size() == 2;
    index_key other{"bz2", 1, 1};
    s->add_checkpoint(other, "/x", 1, {1, std::vector<uint8_t>(10), 0});
    s->flush();
    stored_content written;
    ok = ok && s->load(other, "/x", 1, written);
    ::_exit(ok ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  stored_content got;
  EXPECT_TRUE(s->load(index_key{"bz2", 1, 1}, "/x", 1, got));
}
