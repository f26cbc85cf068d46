// The content index on disk, through TAR archives inside gzip and bzip2
// files: a later process (the memory cleared, the database kept) opens a
// member from what an earlier one stored, without a pass from the start;
// and nothing the database holds, however damaged, places a wrong byte.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "archive/segment_pass.h"
#include "tests/support/archive_services.h"
#include "tests/support/bz2_data.h"
#include "tests/support/gzip_data.h"
#include "tests/support/tar_data.h"
#include "tests/support/test_host.h"
#include "tests/support/view_pass.h"

using namespace sonovale_io;
namespace fs = std::filesystem;

namespace {

class TarIndex : public testing::Test, public archive_services {
 protected:
  void SetUp() override {
    char name[] = "/tmp/brenmoor-tar-index-XXXXXX";
    folder_ = ::mkdtemp(name);
    content_index_use(index_mode::disk, database_folder());
    ASSERT_NE(content_index_store(), nullptr);
    // The last member just past the second gzip checkpoint (8 MiB apart),
    // and many bzip2 blocks.
    members_ = {{"first", "first bytes"},
                {"noise", noise(9 << 20, 1)},
                {"middle", noise(300000, 2)},
                {"more", noise(7 << 20, 3)},
                {"last", "last bytes"}};
    tar_ = make_tar(members_);
  }
  void TearDown() override {
    content_index_use(index_mode::memory);
    fs::remove_all(folder_);
  }

  std::string database_folder() const { return folder_ + "/index"; }

  std::string put(const std::string& kind, const std::string& name = "a") {
    return host.put(name + ".tar." + kind,
                    kind == "gz" ? gzip_member(tar_, 1) : bzip2_compress(tar_, 1));
  }

  // What remains for a later process: the database, not the memory.
  static void next_process() {
    content_index_store()->flush();
    content_index_clear();
  }

  // Opens `member` of the TAR in `file` and returns its bytes, counting the
  // compressed file's reads in `reads`.
  std::string open(const std::string& kind, const std::string& file, const std::string& member,
                   uint64_t* reads = nullptr) {
    host.mem().faults = {fault_read, UINT64_MAX, fault_kind::io_error};
    host.mem().fault_calls = 0;
    file_ptr f;
    filesystem::g_open(f, nested(kind, file, member).c_str(), open_mode_read, abort_);
    std::string bytes = read_all(*f);
    if (reads != nullptr) *reads = host.mem().fault_calls;
    host.mem().faults = {};
    return bytes;
  }

  // The content of the .gz `file` opened whole by its service, as `cat` and
  // `extract` of it read it.
  std::string open_whole(const std::string& file) {
    file_ptr f;
    gz.open_member(f, file.c_str(), "a.tar", abort_);
    return read_all(*f);
  }

  // Lists the TAR in `file`: without readers, the walk that stores the
  // index; with them, every member's name and bytes, one after another.
  std::string list(const std::string& kind, const std::string& file, bool readers = false) {
    struct names : member_callback {
      std::string text;
      bool is_aborting() const override { return false; }
      void* get_abort_event() const override { return nullptr; }
      bool on_member(archive*, const char* path, const file_stats&, file_ptr& reader) override {
        text += path;
        if (reader.is_valid()) text += "\n" + read_all(*reader);
        text += "\n";
        return true;
      }
    } callback;
    file_ptr none;
    tar.list_members(compressed_tar(kind, file).c_str(), none, callback, readers);
    return callback.text;
  }

  // The size the compressed file's own service lists for its one member.
  uint64_t listed_size(const std::string& kind, const std::string& file) {
    struct size_of : member_callback {
      uint64_t size = unknown_size;
      bool is_aborting() const override { return false; }
      void* get_abort_event() const override { return nullptr; }
      bool on_member(archive*, const char*, const file_stats& stats, file_ptr&) override {
        size = stats.size;
        return true;
      }
    } callback;
    file_ptr none;
    archive_impl& service = kind == "gz" ? static_cast<archive_impl&>(gz) : bz2;
    service.list_members(file.c_str(), none, callback, false);
    return callback.size;
  }

  // Runs `sql` on the database, as another program damaging it would.
  void damage(const std::string& sql) {
    content_index_store()->flush();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((database_folder() + "/index.sqlite3").c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql;
    sqlite3_close(db);
  }

  std::string folder_;
  std::vector<std::pair<std::string, std::string>> members_;
  std::string tar_;
  abort_callback_dummy abort_;
};

}  // namespace

TEST_F(TarIndex, ALaterProcessOpensAMemberWithoutAPassFromTheStart) {
  for (const char* kind : {"gz", "bz2"}) {
    SCOPED_TRACE(kind);
    std::string file = put(kind);
    uint64_t cold = 0, warm = 0;
    EXPECT_TRUE(open(kind, file, "last", &cold) == "last bytes");
    // A walk to the end stores the member table, checkpoints and the mark.
    list(kind, file);
    next_process();
    EXPECT_TRUE(open(kind, file, "last", &warm) == "last bytes");
    EXPECT_LT(warm * 4, cold) << "cold " << cold << " reads, warm " << warm;
    EXPECT_TRUE(open(kind, file, "middle") == members_[2].second);
    // A listing with readers, from the checkpoints (on every core where
    // there are several), gives every member's bytes.
    std::string all;
    for (const auto& [name, bytes] : members_) {
      all += nested(kind, file, name).substr(0) + "\n" + bytes + "\n";
    }
    next_process();
    EXPECT_TRUE(list(kind, file, true) == all);
    // A listing of a walked and verified archive reads no more than the
    // fingerprint.
    next_process();
    host.mem().faults = {fault_read, UINT64_MAX, fault_kind::io_error};
    host.mem().fault_calls = 0;
    list(kind, file);
    EXPECT_LE(host.mem().fault_calls, 4u);
    // So does the compressed file's own listing, which tells the TAR's size
    // (bzip2 records none: the index keeps what the verified pass found).
    host.mem().fault_calls = 0;
    EXPECT_EQ(listed_size(kind, file), tar_.size());
    EXPECT_LE(host.mem().fault_calls, 4u);
    host.mem().faults = {};
  }
}

// Damage written into the database by hand: each row is what a flipped
// byte, a foreign record or a stale table may leave. A later process still
// opens every member with its own bytes.
TEST_F(TarIndex, NothingTheDatabaseHoldsPlacesAWrongByte) {
  struct row {
    const char* what;
    const char* sql;
  };
  const row rows[] = {
      {"checkpoints moved 512 bytes", "UPDATE checkpoints SET position = position + 512"},
      {"checkpoint states flipped",
       "UPDATE checkpoints SET state = substr(state, 1, 9) || x'5A' || substr(state, 11)"},
      {"checks that do not match", "UPDATE checkpoints SET checksum = checksum + 1"},
      {"a table byte flipped in every row's data position",
       "UPDATE archives SET attachment = substr(attachment, 1, 60) || x'01' || "
       "substr(attachment, 62)"},
      {"the table of another archive",
       "UPDATE archives SET attachment = (SELECT attachment FROM archives ORDER BY id LIMIT 1)"},
      {"the table cut short",
       "UPDATE archives SET attachment = substr(attachment, 1, length(attachment) - 10)"},
  };
  for (const char* kind : {"gz", "bz2"}) {
    for (const row& r : rows) {
      SCOPED_TRACE(std::string(kind) + ": " + r.what);
      content_index_use(index_mode::disk, database_folder());
      std::string file = put(kind);
      std::string other = host.put(std::string("other.tar.") + kind,
                                   kind == std::string("gz")
                                       ? gzip_member(make_tar({{"zz", "other archive"}}))
                                       : bzip2_compress(make_tar({{"zz", "other archive"}}), 1));
      list(kind, other);
      list(kind, file);
      next_process();
      damage(r.sql);
      for (const auto& [name, bytes] : members_) {
        SCOPED_TRACE(name);
        outcome o = outcome_of([&](std::string& out) { out = open(kind, file, name); });
        EXPECT_TRUE(o.ok) << o.error;
        EXPECT_TRUE(o.content == bytes);
      }
      if (kind == std::string("gz")) {
        // The whole TAR, as `cat` and `extract` of the .gz read it.
        outcome o = outcome_of([&](std::string& out) { out = open_whole(file); });
        EXPECT_TRUE(o.ok) << o.error;
        EXPECT_TRUE(o.content == tar_);
      }
      fs::remove_all(database_folder());
    }
  }
}

TEST_F(TarIndex, AMovedArchiveKeepsItsIndexARewrittenOneDoesNot) {
  // Stored deflate blocks: the rewritten file below is the same size.
  std::string file = host.put("a.tar.gz", gzip_member(tar_, 0));
  uint64_t cold = 0, moved_reads = 0;
  EXPECT_TRUE(open("gz", file, "last", &cold) == "last bytes");
  list("gz", file);
  next_process();
  // The same bytes under another name: the index is reused.
  std::string moved = host.put("moved.tar.gz", gzip_member(tar_, 0));
  EXPECT_TRUE(open("gz", moved, "last", &moved_reads) == "last bytes");
  EXPECT_LT(moved_reads * 4, cold) << "cold " << cold << " reads, moved " << moved_reads;
  // Rewritten in place, same size and time stamp, members elsewhere.
  std::vector<std::pair<std::string, std::string>> swapped = {members_[4], members_[1], members_[2],
                                                              members_[3], members_[0]};
  std::string rewritten = gzip_member(make_tar(swapped), 0);
  ASSERT_EQ(rewritten.size(), host.mem().files.at(file).size());
  host.put("a.tar.gz", rewritten);
  next_process();
  for (const auto& [name, bytes] : members_) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(open("gz", file, name) == bytes);
  }
}

// A later process opens a whole .gz from the checkpoints its index holds,
// on every core where there are several, and ends as decoding the file
// whole ends: the same bytes, or the same failure, whether the file was
// damaged after it was indexed (the first and last 64 KiB unchanged, so
// the index is still found) or its trailer announces what the whole-file
// road refuses before decoding (views index such a file).
TEST_F(TarIndex, AWholeGzipFileOpensFromItsIndexAsDecodingItWholeEnds) {
  std::string file = put("gz");
  const std::string good = host.mem().files.at(file);
  std::string damaged = good;
  damaged[damaged.size() / 4] ^= 0x10;
  std::string announcing_2_gib = good;
  announcing_2_gib[announcing_2_gib.size() - 1] = '\x80';
  struct row {
    const char* what;
    const std::string& indexed;
    const std::string& opened;
  };
  for (const row& r : {row{"as indexed", good, good}, row{"damaged after", good, damaged},
                       row{"announcing 2 GiB", announcing_2_gib, announcing_2_gib}}) {
    SCOPED_TRACE(r.what);
    content_index_use(index_mode::disk, database_folder());
    host.put("a.tar.gz", r.indexed);
    // The walk stores the checkpoints it passes, though the trailer that
    // announces 2 GiB fails it at the end.
    outcome_of([&](std::string&) { list("gz", file); });
    next_process();
    host.put("a.tar.gz", r.opened);
    outcome expected = decode_whole(gzip_inflate_into, r.opened);
    EXPECT_EQ(expected.ok, &r.opened == &good) << expected.error;
    outcome got = outcome_of([&](std::string& out) { out = open_whole(file); });
    EXPECT_EQ(got.verdict(), expected.verdict());
    if (got.ok) {
      EXPECT_TRUE(got.content == tar_);
    }
    if (&r.opened == &good && segment_workers() > 1) {
      // Decoded from the index: a segment pass confirmed the checkpoints it
      // read from disk as it went (the whole-file road records none).
      file_ptr compressed;
      filesystem::g_open(compressed, file.c_str(), open_mode_read, abort_);
      std::shared_ptr<content_entry> entry =
          archive_impl::find_content_entry(file.c_str(), *compressed, gzip_view_format(), abort_);
      ASSERT_NE(entry, nullptr);
      std::vector<indexed_checkpoint> known = entry->checkpoints_after(0);
      ASSERT_FALSE(known.empty());
      EXPECT_TRUE(known.front().confirmed);
    }
    fs::remove_all(database_folder());
  }
}
