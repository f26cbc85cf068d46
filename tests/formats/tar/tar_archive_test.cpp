#include "formats/tar/tar_archive.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <typeinfo>
#include <vector>

#include "archive/member_path.h"
#include "formats/tar/tar_walk.h"
#include "io/file_buffer.h"
#include "tests/support/expect_throw.h"
#include "tests/support/sample_files.h"
#include "tests/support/temp_folder.h"
#include "tests/support/test_host.h"
#include "tests/support/tool_run.h"

using namespace sonovale_io;

namespace {

constexpr char corrupted[] = "Unsupported format or corrupted file";
constexpr uint64_t archive_timestamp = 131234567890123456ull;

// ---------------------------------------------------------------------------
// Archives built in code.

std::string octal_field(uint64_t value, size_t width) {
  char text[32];
  std::snprintf(text, sizeof text, "%0*llo", static_cast<int>(width - 1),
                static_cast<unsigned long long>(value));
  return std::string(text, width - 1) + '\0';
}

// A 512-byte header. `size_field`, when given, is stored as the raw 12-byte
// size field instead of the octal size.
std::string tar_header(const std::string& name, uint64_t size, char type,
                       const std::string& size_field = "") {
  std::string h(512, '\0');
  h.replace(0, std::min<size_t>(name.size(), 100), name, 0, 100);
  h.replace(100, 8, octal_field(0644, 8));
  h.replace(124, 12, size_field.empty() ? octal_field(size, 12) : size_field);
  h.replace(136, 12, octal_field(0, 12));
  h[156] = type;
  h.replace(257, 8, std::string("ustar  \0", 8));
  unsigned sum = 256;
  for (size_t i = 0; i < 512; ++i)
    if (i < 148 || i >= 156) sum += static_cast<uint8_t>(h[i]);
  h.replace(148, 8, octal_field(sum, 7) + ' ');
  return h;
}

class tar_builder {
 public:
  tar_builder& member(const std::string& name, const std::string& data, char type = '0') {
    bytes += tar_header(name, data.size(), type);
    data_at(data);
    return *this;
  }
  // A header whose size field is `size_field`, followed by `data`.
  tar_builder& raw(const std::string& name, const std::string& size_field, char type,
                   const std::string& data = "") {
    bytes += tar_header(name, 0, type, size_field);
    data_at(data);
    return *this;
  }
  tar_builder& long_name(const std::string& name) {
    return member("././@LongLink", name + '\0', 'L');
  }
  // An extended header ("x" for the next entry, "g" for all later ones).
  tar_builder& pax(const std::string& records, char type = 'x') {
    return member("PaxHeaders/x", records, type);
  }
  // A header made elsewhere, followed by `data`.
  tar_builder& header(const std::string& h, const std::string& data = "") {
    bytes += h;
    data_at(data);
    return *this;
  }
  tar_builder& zero_block() {
    bytes.append(512, '\0');
    return *this;
  }
  tar_builder& end() { return zero_block().zero_block(); }

  std::string bytes;

 private:
  void data_at(const std::string& data) {
    bytes += data;
    bytes.append((512 - data.size() % 512) % 512, '\0');
  }
};

std::string base256_field(uint64_t value, uint8_t marker = 0x80) {
  std::string f(12, marker == 0xFF ? '\xFF' : '\0');
  f[0] = static_cast<char>(marker);
  for (int i = 11; i >= 4; --i, value >>= 8) f[i] = static_cast<char>(value & 0xFF);
  return f;
}

std::string text_of(size_t size, char seed) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>(seed + i * 13 + i / 7);
  return s;
}

// `header` with `bytes` written at `at` and its checksum made right again.
std::string patched(std::string header, size_t at, const std::string& bytes) {
  header.replace(at, bytes.size(), bytes);
  unsigned sum = 256;
  for (size_t i = 0; i < 512; ++i)
    if (i < 148 || i >= 156) sum += static_cast<uint8_t>(header[i]);
  header.replace(148, 8, octal_field(sum, 7) + ' ');
  return header;
}

// A POSIX ustar header (magic "ustar" NUL, version "00") with a prefix.
std::string ustar_header(const std::string& prefix, const std::string& name, uint64_t size) {
  std::string h = patched(tar_header(name, size, '0'), 257,
                          std::string("ustar\0"
                                      "00",
                                      8));
  return patched(h, 345, prefix);
}

// One pax record, "LEN KEY=VALUE\n", with LEN counting itself.
std::string pax_record(const std::string& key, const std::string& value) {
  std::string body = " " + key + "=" + value + "\n";
  size_t length = body.size() + 1;
  while (std::to_string(length).size() + body.size() != length) ++length;
  return std::to_string(length) + body;
}

// An old GNU sparse header ("S"): `segments` (at most four) in the header,
// the real size, `stored` bytes of data and the extension flag.
std::string gnu_sparse_header(const std::string& name, uint64_t real, uint64_t stored,
                              const std::vector<std::pair<uint64_t, uint64_t>>& segments,
                              bool extended = false) {
  std::string h = tar_header(name, stored, 'S');
  for (size_t i = 0; i < segments.size(); ++i)
    h = patched(h, 386 + 24 * i,
                octal_field(segments[i].first, 12) + octal_field(segments[i].second, 12));
  h = patched(h, 482, extended ? "\1" : std::string(1, '\0'));
  return patched(h, 483, octal_field(real, 12));
}

// ---------------------------------------------------------------------------
// A file that is zero except for blocks placed in it, for archives far
// larger than memory. Read-only.

struct sparse_content {
  uint64_t size = 0;
  std::map<uint64_t, std::string> blocks;
};

class sparse_file : public file {
 public:
  explicit sparse_file(const sparse_content& content) : content_(content) {}
  bool query_class(service_ptr_t<service_base>& out, const GUID& id) override {
    if (!(id == file::class_guid)) return false;
    out = static_cast<file*>(this);
    return true;
  }
  uint32_t read(void* buffer, uint32_t count, abort_callback&) override {
    uint64_t left = content_.size - position_;
    uint32_t n = count < left ? count : static_cast<uint32_t>(left);
    auto* out = static_cast<char*>(buffer);
    std::memset(out, 0, n);
    for (const auto& [at, block] : content_.blocks) {
      uint64_t begin = std::max(at, position_), end = std::min(at + block.size(), position_ + n);
      if (begin < end)
        std::memcpy(out + (begin - position_), block.data() + (begin - at), end - begin);
    }
    position_ += n;
    return n;
  }
  void write(const void*, uint32_t, abort_callback&) override { throw exception_io_denied(); }
  uint64_t get_size(abort_callback&) override { return content_.size; }
  uint64_t get_position(abort_callback&) override { return position_; }
  void resize(uint64_t, abort_callback&) override { throw exception_io_denied(); }
  void seek(uint64_t position, abort_callback&) override {
    position_ = std::min(position, content_.size);
  }
  bool can_seek() override { return true; }
  bool get_extra_info(void*) override { return false; }
  bool is_in_memory() override { return false; }
  void on_hint(void*) override {}
  uint64_t get_timestamp(abort_callback&) override { return archive_timestamp; }
  void reopen(abort_callback&) override { position_ = 0; }
  bool is_remote() override { return false; }

 private:
  const sparse_content& content_;
  uint64_t position_ = 0;
};

// Owns "sparse://" paths.
class sparse_filesystem : public filesystem {
 public:
  std::map<std::string, sparse_content> files;

  bool query_class(service_ptr_t<service_base>& out, const GUID& id) override {
    if (!(id == filesystem::class_guid)) return false;
    out = this;
    return true;
  }
  bool get_canonical_path(const char*, plix::string_base&) override { return false; }
  bool is_our_path(const char* path) override { return std::strncmp(path, "sparse://", 9) == 0; }
  bool get_display_path(const char*, plix::string_base&) override { return false; }
  void open(file_ptr& out, const char* path, open_mode, abort_callback&) override {
    auto found = files.find(path);
    if (found == files.end()) throw exception_io_not_found();
    out = new service_impl_t<sparse_file>(found->second);
  }
  void remove_object(const char*, abort_callback&) override {}
  void move_object(const char*, const char*, abort_callback&) override {}
  bool is_remote(const char*) override { return false; }
  void get_stats(const char*, file_stats&, bool&, abort_callback&) override {}
  bool make_reference_path(const char*, const char*, plix::string_base&) override { return false; }
  bool resolve_reference_path(const char*, const char*, plix::string_base&) override {
    return false;
  }
  void create_directory(const char*, abort_callback&) override {}
  void list_directory(const char*, void*, abort_callback&) override {}
  bool supports_folders() override { return false; }
};

// ---------------------------------------------------------------------------
// Listing.

struct listed {
  std::string path;
  uint64_t size;
  uint64_t timestamp;
  bool has_reader;
  std::string content;
};

class recorder : public member_callback {
 public:
  bool is_aborting() const override {
    ++polls;
    return abort_at_poll != 0 && polls >= abort_at_poll;
  }
  void* get_abort_event() const override { return nullptr; }
  bool on_member(archive*, const char* path, const file_stats& stats, file_ptr& reader) override {
    listed m{path, stats.size, stats.timestamp, reader.is_valid(), ""};
    if (reader.is_valid()) {
      m.content = read_all(*reader);
      if (keep_readers) kept.push_back(reader);
    }
    members.push_back(m);
    return stop_after == 0 || members.size() < stop_after;
  }

  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const listed& m : members) {
      plix::string8 archive_path, member;
      EXPECT_TRUE(parse_member_path(m.path.c_str(), archive_path, member)) << m.path;
      out.emplace_back(member.get_ptr());
    }
    return out;
  }

  std::vector<listed> members;
  std::vector<file_ptr> kept;
  bool keep_readers = false;
  size_t stop_after = 0;
  unsigned abort_at_poll = 0;
  mutable unsigned polls = 0;
};

// The outcome of a call, named by exception class; also checks the message
// that goes with the class.
template <typename F>
std::string outcome_of(F&& call) {
  try {
    call();
    return "ok";
  } catch (const std::exception& e) {
    const std::type_info& type = typeid(e);
    std::string what = e.what();
    if (type == typeid(exception_io_data_truncation) && what == corrupted) return "truncated";
    if (type == typeid(exception_io_data) && what == corrupted) return "corrupt";
    if (type == typeid(plix::bad_alloc) && what == std::string("bad allocation"))
      return "bad_alloc";
    if (type == typeid(exception_io_not_found) && what == std::string("Object not found"))
      return "not_found";
    return std::string("unexpected ") + type.name() + ": " + what;
  }
}

class TarTest : public ::testing::Test {
 protected:
  TarTest() {
    host_.add_filesystem(&tar_);
    host_.add_filesystem(&sparse_);
    host_.mem().timestamp = archive_timestamp;
  }

  std::string put(const std::string& name, const std::string& bytes) {
    return host_.put(name, bytes);
  }

  void list(const std::string& path, recorder& callback, bool readers) {
    file_ptr none;
    tar_.list_members(path.c_str(), none, callback, readers);
  }

  std::string member_path(const std::string& archive_path, const std::string& member) {
    plix::string8 out;
    make_member_path(out, tar_, archive_path.c_str(), member.c_str());
    return out.get_ptr();
  }

  // Opens a member through the host's dispatch, as the host would.
  std::string open(const std::string& archive_path, const std::string& member) {
    file_ptr f;
    filesystem::g_open(f, member_path(archive_path, member).c_str(), open_mode_read, abort_);
    EXPECT_EQ(f->get_position(abort_), 0u);
    EXPECT_EQ(f->get_timestamp(abort_), archive_timestamp);
    return read_all(*f);
  }

  file_stats stats(const std::string& archive_path, const std::string& member) {
    file_stats s{};
    bool writable = true;
    tar_.get_stats(member_path(archive_path, member).c_str(), s, writable, abort_);
    EXPECT_FALSE(writable);
    return s;
  }

  // Declared before the host, which holds references to them until it goes.
  service_impl_single_t<archive_tar> tar_;
  service_impl_single_t<sparse_filesystem> sparse_;
  test_host host_;
  abort_callback_dummy abort_;
};

TEST_F(TarTest, ListsRegularMembersOnlyWithContentAndArchiveTimestamp) {
  // The data of a skipped entry looks like a header: it must be stepped
  // over by its rounded size, never read as one.
  std::string fake_header = tar_header("inside-skipped-data", 0, '0');
  std::string path = put("a.tar", tar_builder()
                                      .member("a.txt", "hello")
                                      .member("empty", "")
                                      .member("dir/", "", '5')
                                      .member("b512", text_of(512, 'b'))
                                      .member("hard", "", '1')
                                      .member("c513", text_of(513, 'c'))
                                      .member("sym", "", '2')
                                      .member("pax", "20 mtime=1234567890\n", 'x')
                                      .member("d600", text_of(600, 'd'), '\0')
                                      .member("odd", fake_header, 'Z')
                                      .member("last", "z")
                                      .end()
                                      .bytes);
  for (bool readers : {false, true}) {
    SCOPED_TRACE(readers ? "with readers" : "without readers");
    recorder r;
    list(path, r, readers);
    EXPECT_EQ(r.names(),
              (std::vector<std::string>{"a.txt", "empty", "b512", "c513", "d600", "last"}));
    const std::vector<std::string> contents = {
        "hello", "", text_of(512, 'b'), text_of(513, 'c'), text_of(600, 'd'), "z"};
    ASSERT_EQ(r.members.size(), contents.size());
    for (size_t i = 0; i < contents.size(); ++i) {
      EXPECT_EQ(r.members[i].size, contents[i].size());
      EXPECT_EQ(r.members[i].timestamp, archive_timestamp);
      EXPECT_EQ(r.members[i].has_reader, readers);
      if (readers) {
        EXPECT_EQ(r.members[i].content, contents[i]) << i;
      }
    }
    EXPECT_EQ(r.members[0].path, "unpack://tar|11|mem://a.tar|a.txt");
  }
  EXPECT_EQ(open(path, "c513"), text_of(513, 'c'));
  EXPECT_EQ(open(path, "empty"), "");
  EXPECT_EQ(open(path, "last"), "z");
  file_stats s = stats(path, "d600");
  EXPECT_EQ(s.size, 600u);
  EXPECT_EQ(s.timestamp, archive_timestamp);
  for (const char* skipped : {"dir/", "hard", "sym", "pax", "odd", "inside-skipped-data"}) {
    SCOPED_TRACE(skipped);
    EXPECT_EQ(outcome_of([&] { open(path, skipped); }), "not_found");
    EXPECT_EQ(outcome_of([&] { stats(path, skipped); }), "not_found");
  }
}

TEST_F(TarTest, EndBlocks) {
  const std::string one = tar_builder().member("one", "1").bytes;
  const std::string two = tar_builder().member("two", "2").bytes;
  const std::string zero(512, '\0');
  const std::string dir = tar_header("dir/", 0, '5');
  struct row {
    const char* what;
    std::string bytes;
    std::vector<std::string> names;
    const char* outcome;
  };
  const std::string long_name = tar_builder().long_name("waiting").bytes;
  const std::string pax = tar_builder().pax(pax_record("path", "waiting")).bytes;
  const std::string global = tar_builder().pax(pax_record("path", "G"), 'g').bytes;
  const row rows[] = {
      {"two zero blocks only", zero + zero, {}, "ok"},
      {"empty file", "", {}, "truncated"},
      {"one zero block only", zero, {}, "ok"},
      {"one zero block then the end", one + two + zero, {"one", "two"}, "ok"},
      {"no end blocks", one + two, {"one", "two"}, "ok"},
      {"the end after a skipped entry", one + dir, {"one"}, "ok"},
      {"the end after a global record set", one + global, {"one"}, "ok"},
      {"the end inside a header", one + two.substr(0, 100), {"one"}, "truncated"},
      {"the end inside a skipped entry's data, at a block's end",
       one + tar_header("cut", 1000, 'Z') + std::string(512, 'c'),
       {"one"},
       "truncated"},
      {"the end after a long name", one + long_name, {"one"}, "truncated"},
      {"the end after a pax set and one zero block", one + pax + zero, {"one"}, "truncated"},
      {"the end after a zero-first block that is not all zeros",
       one + std::string(1, '\0') + tar_header("hidden", 0, '0').substr(1),
       {"one"},
       "truncated"},
      {"zero block between members", one + zero + two + zero + zero, {"one", "two"}, "ok"},
      {"two zero blocks apart end the walk",
       one + zero + dir + zero + two + zero + zero,
       {"one"},
       "ok"},
      {"count starts again after a member",
       zero + one + zero + two + zero + zero,
       {"one", "two"},
       "ok"},
      {"data after the end is not read", one + zero + zero + "garbage", {"one"}, "ok"},
      {"a zero-first block is an end block whatever follows",
       one + std::string(1, '\0') + tar_header("hidden", 0, '0').substr(1) + zero + two,
       {"one"},
       "ok"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    std::string path = put("e.tar", r.bytes);
    for (bool readers : {false, true}) {
      recorder rec;
      EXPECT_EQ(outcome_of([&] { list(path, rec, readers); }), r.outcome);
      EXPECT_EQ(rec.names(), r.names);
    }
  }
}

TEST_F(TarTest, LongNames) {
  const std::string name150 = "long/" + std::string(140, 'n') + ".txt";
  std::string huge_clean = text_of(70000, 'A');  // read in growing steps
  for (char& c : huge_clean)
    if (c == 0) c = 'x';
  struct row {
    const char* what;
    std::string bytes;
    std::vector<std::string> names;
  };
  const row rows[] = {
      {"150-byte name",
       tar_builder().long_name(name150).member("trunc", "1").end().bytes,
       {name150}},
      {"only the next entry is renamed",
       tar_builder().long_name(name150).member("a", "1").member("b", "2").end().bytes,
       {name150, "b"}},
      {"a skipped entry takes the long name",
       tar_builder().long_name(name150).member("dir/", "", '5').member("b", "2").end().bytes,
       {"b"}},
      {"the name ends at its first NUL",
       tar_builder()
           .member("././@LongLink", std::string("abc\0def", 8), 'L')
           .member("x", "")
           .end()
           .bytes,
       {"abc"}},
      {"the later of two long names wins",
       tar_builder().long_name("first").long_name("second").member("x", "").end().bytes,
       {"second"}},
      {"a zero block keeps the long name pending",
       tar_builder().long_name("kept").zero_block().member("x", "").end().bytes,
       {"kept"}},
      {"a long name longer than 64 KiB",
       tar_builder().long_name(huge_clean).member("x", "").end().bytes,
       {huge_clean}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    std::string path = put("l.tar", r.bytes);
    recorder rec;
    list(path, rec, true);
    EXPECT_EQ(rec.names(), r.names);
  }
  std::string path = put("l.tar", rows[0].bytes);
  EXPECT_EQ(open(path, name150), "1");
  EXPECT_EQ(outcome_of([&] { open(path, "trunc"); }), "not_found");
}

TEST_F(TarTest, NamesMatchExactlyAndTheFirstOfDuplicatesWins) {
  std::string path = put("d.tar", tar_builder()
                                      .member("a.txt", "lower")
                                      .member("A.txt", "upper")
                                      .member("dup", "first")
                                      .member("dup", "second!")
                                      .end()
                                      .bytes);
  recorder r;
  list(path, r, true);
  ASSERT_EQ(r.names(), (std::vector<std::string>{"a.txt", "A.txt", "dup", "dup"}));
  EXPECT_EQ(r.members[2].path, r.members[3].path);
  EXPECT_EQ(r.members[3].content, "second!");
  EXPECT_EQ(open(path, "A.txt"), "upper");
  EXPECT_EQ(open(path, "dup"), "first");
  EXPECT_EQ(stats(path, "dup").size, 5u);
  EXPECT_EQ(outcome_of([&] { open(path, "a.TXT"); }), "not_found");
  EXPECT_EQ(outcome_of([&] { open(path, "dup "); }), "not_found");
}

TEST_F(TarTest, ListingChecksTheExtensionBeforeOpening) {
  std::string bytes = tar_builder().member("a", "1").end().bytes;
  put("a.zip", bytes);
  recorder r;
  EXPECT_THROW_EXACT(list("mem://a.zip", r, false), exception_io_data, corrupted);
  EXPECT_EQ(host_.mem().opens, 0u);
  put("B.TAR", bytes);
  list("mem://B.TAR", r, false);
  EXPECT_EQ(r.names(), std::vector<std::string>{"a"});
  // Statistics and opening do not look at the extension.
  EXPECT_EQ(open("mem://a.zip", "a"), "1");
}

TEST_F(TarTest, ReaderPassedInIsWalkedFromTheStart) {
  abort_callback_dummy abort;
  std::string bytes = tar_builder().member("a", "1").member("b", "22").end().bytes;
  file_ptr given = make_file_buffer(0, archive_timestamp);
  given->write(bytes.data(), static_cast<uint32_t>(bytes.size()), abort);  // left at its end
  recorder r;
  tar_.list_members("mem://not-there.tar", given, r, true);
  EXPECT_EQ(r.names(), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(host_.mem().opens, 0u);
}

TEST_F(TarTest, NestedArchiveListsThroughItsOuterMember) {
  std::string inner = tar_builder().member("deep.txt", "deep").end().bytes;
  std::string outer = put("o.tar", tar_builder().member("inner.tar", inner).end().bytes);
  std::string inner_path = member_path(outer, "inner.tar");
  recorder r;
  list(inner_path, r, true);
  ASSERT_EQ(r.names(), std::vector<std::string>{"deep.txt"});
  EXPECT_EQ(r.members[0].content, "deep");
  EXPECT_EQ(open(inner_path, "deep.txt"), "deep");
}

TEST_F(TarTest, CallbackStopsTheWalk) {
  std::string path =
      put("s.tar", tar_builder().member("a", "1").member("b", "2").bytes + "broken beyond here");
  recorder r;
  r.stop_after = 1;
  list(path, r, true);
  EXPECT_EQ(r.names(), std::vector<std::string>{"a"});
}

TEST_F(TarTest, KeptReadersOutliveTheListing) {
  std::string path = put(
      "k.tar",
      tar_builder().member("a", text_of(3000, 'a')).member("b", text_of(5000, 'b')).end().bytes);
  recorder r;
  r.keep_readers = true;
  list(path, r, true);
  ASSERT_EQ(r.kept.size(), 2u);
  EXPECT_NE(r.kept[0].get_ptr(), r.kept[1].get_ptr());
  for (file_ptr& f : r.kept) f->reopen(abort_);
  EXPECT_EQ(read_all(*r.kept[0]), text_of(3000, 'a'));
  EXPECT_EQ(read_all(*r.kept[1]), text_of(5000, 'b'));
  // Only the callback holds them now.
  EXPECT_EQ(r.kept[0]->add_reference(), 2);
  EXPECT_EQ(r.kept[0]->release_reference(), 1);
}

TEST_F(TarTest, AbortBetweenMembersWhileExtracting) {
  std::string path = put("ab.tar", tar_builder()
                                       .member("a", text_of(100, 'a'))
                                       .member("b", text_of(100, 'b'))
                                       .member("c", text_of(100, 'c'))
                                       .end()
                                       .bytes);
  recorder r;
  r.abort_at_poll = 2;
  EXPECT_THROW_EXACT(list(path, r, true), exception_aborted, "User abort");
  EXPECT_EQ(r.names(), std::vector<std::string>{"a"});
  // Opening one member polls the same way.
  abort_callback_impl aborted;
  aborted.abort();
  file_ptr f;
  EXPECT_THROW_EXACT(filesystem::g_open(f, member_path(path, "b").c_str(), open_mode_read, aborted),
                     exception_aborted, "User abort");
  EXPECT_TRUE(f.is_empty());
}

TEST_F(TarTest, TruncationAtEveryLength) {
  const std::string name120(120, 'L');
  std::string full = tar_builder()
                         .member("a", text_of(700, 'a'))
                         .long_name(name120)
                         .member("b", text_of(10, 'b'))
                         .member("dir/", "", '5')
                         .member("c", "")
                         .end()
                         .bytes;
  // The lengths that end the archive where a header would start: after an
  // entry or the first end block, but not after the long name alone.
  const std::map<size_t, std::vector<std::string>> ends = {
      {1536, {"a"}},
      {3584, {"a", name120}},
      {4096, {"a", name120}},
      {4608, {"a", name120, "c"}},
      {5120, {"a", name120, "c"}},
  };
  for (size_t length = 0; length < full.size(); ++length) {
    SCOPED_TRACE(length);
    std::string path = put("t.tar", full.substr(0, length));
    auto end = ends.find(length);
    for (bool readers : {false, true}) {
      recorder r;
      ASSERT_EQ(outcome_of([&] { list(path, r, readers); }),
                end == ends.end() ? "truncated" : "ok");
      if (end != ends.end()) {
        EXPECT_EQ(r.names(), end->second);
      }
    }
  }
  recorder r;
  list(put("t.tar", full), r, true);
  EXPECT_EQ(r.names(), (std::vector<std::string>{"a", name120, "c"}));
}

TEST_F(TarTest, ChecksumMismatchStopsTheWalkAfterEarlierMembers) {
  std::string bytes = tar_builder().member("a", "1").member("b", "2").end().bytes;
  bytes[1024 + 1] = 'X';  // the second header's name
  std::string path = put("c.tar", bytes);
  recorder r;
  EXPECT_THROW_EXACT(list(path, r, true), exception_io_data, corrupted);
  EXPECT_EQ(r.names(), std::vector<std::string>{"a"});
}

// A negative size would move the walk backwards; a crafted archive then
// walked the same headers forever.
TEST_F(TarTest, NegativeSizeIsCorruptWhateverTheType) {
  const std::string fields[] = {"-Po", base256_field(UINT64_MAX - 1023, 0xFF),
                                base256_field(uint64_t{1} << 63)};
  for (const std::string& field : fields) {
    for (char type : {'0', '5', 'L', 'x'}) {
      SCOPED_TRACE(testing::Message()
                   << "type " << type << " field " << testing::PrintToString(field));
      std::string path =
          put("n.tar", tar_builder().member("a", "1").raw("neg", field, type).end().bytes);
      for (bool readers : {false, true}) {
        recorder r;
        EXPECT_THROW_EXACT(list(path, r, readers), exception_io_data, corrupted);
        EXPECT_EQ(r.names(), std::vector<std::string>{"a"});
      }
      EXPECT_EQ(outcome_of([&] { open(path, "missing"); }), "corrupt");
    }
  }
}

TEST_F(TarTest, NextHeaderBeyondTwoToTheSixtyFourIsCorrupt) {
  // Two directories of 2^63 - 1 bytes: the second one's end would wrap
  // past 2^64 back to the start of the archive.
  uint64_t huge = (uint64_t{1} << 63) - 1;
  sparse_content& content = sparse_.files["sparse://wrap.tar"];
  content.size = UINT64_MAX;
  content.blocks[0] = tar_builder().member("a", "1").bytes;
  content.blocks[1024] = tar_header("d1/", 0, '5', base256_field(huge));
  content.blocks[1024 + 512 + (uint64_t{1} << 63)] = tar_header("d2/", 0, '5', base256_field(huge));
  recorder r;
  EXPECT_THROW_EXACT(list("sparse://wrap.tar", r, false), exception_io_data, corrupted);
  EXPECT_EQ(r.names(), std::vector<std::string>{"a"});
}

TEST_F(TarTest, OversizedLongNameIsCorrupt) {
  struct row {
    const char* what;
    std::string field;
    const char* outcome;
  };
  const row rows[] = {
      {"2^32 - 1 bytes", octal_field(UINT32_MAX, 12), "corrupt"},
      {"2^40 bytes", base256_field(uint64_t{1} << 40), "corrupt"},
      {"2^32 - 2 bytes on a short archive fails early", octal_field(UINT32_MAX - 1, 12),
       "truncated"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    std::string path =
        put("ln.tar", tar_builder().raw("././@LongLink", r.field, 'L', "name").end().bytes);
    recorder rec;
    EXPECT_EQ(outcome_of([&] { list(path, rec, false); }), r.outcome);
  }
}

TEST_F(TarTest, MemberPastTheEndIsTruncationBeforeAllocating) {
  // 5 GiB announced in a tiny archive: the shortfall is found before the
  // size is looked at, so this is truncation, not an allocation failure.
  const uint64_t size = 5ull << 30;
  std::string path = put(
      "p.tar", tar_builder().member("a", "1").raw("big", octal_field(size, 12), '0', "xyz").bytes);
  recorder without;
  EXPECT_THROW_EXACT(list(path, without, false), exception_io_data_truncation, corrupted);
  ASSERT_EQ(without.names(), (std::vector<std::string>{"a", "big"}));
  EXPECT_EQ(without.members[1].size, size);
  recorder with;
  EXPECT_THROW_EXACT(list(path, with, true), exception_io_data_truncation, corrupted);
  EXPECT_EQ(with.names(), std::vector<std::string>{"a"});
  EXPECT_EQ(outcome_of([&] { open(path, "big"); }), "truncated");
  EXPECT_EQ(stats(path, "big").size, size);
}

TEST_F(TarTest, MembersOfFourGigabytesAreListedButNotHeld) {
  const uint64_t size = uint64_t{1} << 32;
  sparse_content& content = sparse_.files["sparse://big.tar"];
  content.size = 512 + size + 1024;  // the data, then two zero blocks
  content.blocks[0] = tar_header("big", size, '0');
  recorder without;
  list("sparse://big.tar", without, false);
  ASSERT_EQ(without.names(), std::vector<std::string>{"big"});
  EXPECT_EQ(without.members[0].size, size);
  EXPECT_EQ(stats("sparse://big.tar", "big").size, size);
  recorder with;
  EXPECT_THROW_EXACT(list("sparse://big.tar", with, true), plix::bad_alloc, "bad allocation");
  EXPECT_TRUE(with.members.empty());
  EXPECT_EQ(outcome_of([&] { open("sparse://big.tar", "big"); }), "bad_alloc");
}

// ---------------------------------------------------------------------------
// Extension records, the ustar prefix and sparse maps, built by hand.

TEST_F(TarTest, ExtensionRecordsNameAndSizeMembers) {
  struct row {
    const char* what;
    std::string bytes;
    std::vector<std::pair<std::string, std::string>> members;  // name, content
  };
  const std::string gnu_magic_with_prefix_bytes = patched(tar_header("n", 1, '0'), 345, "times");
  const std::string old_gnu_extension = [] {
    std::string block(512, '\0');
    block.replace(0, 24, octal_field(9, 12) + octal_field(1, 12));
    return block;
  }();
  const row rows[] = {
      {"a pax path beats a long name and the prefix",
       tar_builder()
           .long_name("long")
           .pax(pax_record("path", "pax/name"))
           .header(ustar_header("pre", "n", 1), "1")
           .end()
           .bytes,
       {{"pax/name", "1"}}},
      {"a long name beats the prefix",
       tar_builder().long_name("long").header(ustar_header("pre", "n", 1), "1").end().bytes,
       {{"long", "1"}}},
      {"the prefix counts under the POSIX magic only",
       tar_builder()
           .header(ustar_header("pre", "n", 1), "1")
           .header(gnu_magic_with_prefix_bytes, "2")
           .end()
           .bytes,
       {{"pre/n", "1"}, {"n", "2"}}},
      {"a global path holds until removed; an empty local path removes it once",
       tar_builder()
           .pax(pax_record("path", "G"), 'g')
           .member("h1", "1")
           .pax(pax_record("path", ""))
           .member("h2", "2")
           .member("h3", "3")
           .pax(pax_record("path", ""), 'g')
           .member("h4", "4")
           .end()
           .bytes,
       {{"G", "1"}, {"h2", "2"}, {"G", "3"}, {"h4", "4"}}},
      {"a pax size overrides the header's",
       tar_builder()
           .pax(pax_record("size", "700") + pax_record("mtime", "1.5"))
           .header(tar_header("big", 0, '0'), text_of(700, 'b'))
           .member("c", "3")
           .end()
           .bytes,
       {{"big", text_of(700, 'b')}, {"c", "3"}}},
      {"a global size applies to every later entry",
       tar_builder()
           .pax(pax_record("size", "3"), 'g')
           .header(tar_header("x1", 0, '0'), "abc")
           .header(tar_header("x2", 0, '0'), "def")
           .end()
           .bytes,
       {{"x1", "abc"}, {"x2", "def"}}},
      {"NUL padding ends a record set",
       tar_builder()
           .pax(pax_record("path", "p") + std::string(10, '\0'))
           .member("h", "1")
           .end()
           .bytes,
       {{"p", "1"}}},
      {"extension entries in a row all go to the next entry",
       tar_builder()
           .pax(pax_record("path", "first"))
           .long_name("second")
           .member("h", "1")
           .end()
           .bytes,
       {{"first", "1"}}},
      {"type 7 is a file; a NUL type ending in / is a folder",
       tar_builder()
           .member("c7", "x", '7')
           .member("old-folder/", "", '\0')
           .member("f", "y", '\0')
           .end()
           .bytes,
       {{"c7", "x"}, {"f", "y"}}},
      {"old GNU sparse, its map going on in an extension block",
       tar_builder()
           .header(gnu_sparse_header("s", 12, 5, {{0, 1}, {2, 1}, {4, 1}, {6, 1}}, true) +
                       old_gnu_extension,
                   "abcde")
           .end()
           .bytes,
       {{"s", std::string("a\0b\0c\0d\0\0e\0\0", 12)}}},
      {"pax GNU sparse 0.0 and 0.1, holes at both ends",
       tar_builder()
           .pax(pax_record("GNU.sparse.size", "6") + pax_record("GNU.sparse.offset", "2") +
                pax_record("GNU.sparse.numbytes", "2"))
           .member("s0", "ab")
           .pax(pax_record("GNU.sparse.name", "real") + pax_record("GNU.sparse.realsize", "5") +
                pax_record("GNU.sparse.map", "1,1,3,1"))
           .member("GNUSparseFile/real", "xy")
           .end()
           .bytes,
       {{"s0", std::string("\0\0ab\0\0", 6)}, {"real", std::string("\0x\0y\0", 5)}}},
      {"pax GNU sparse 1.0, its map at the start of the data",
       tar_builder()
           .pax(pax_record("GNU.sparse.major", "1") + pax_record("GNU.sparse.minor", "0") +
                pax_record("GNU.sparse.realsize", "4"))
           .header(tar_header("s1", 514, '0'), ("1\n2\n2\n" + std::string(506, '\0')) + "hi")
           .end()
           .bytes,
       {{"s1", std::string("\0\0hi", 4)}}},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    std::string path = put("x.tar", r.bytes);
    recorder listing;
    list(path, listing, true);
    std::vector<std::pair<std::string, std::string>> got;
    std::vector<std::string> names = listing.names();
    for (size_t i = 0; i < names.size(); ++i) {
      got.emplace_back(names[i], listing.members[i].content);
      EXPECT_EQ(listing.members[i].size, listing.members[i].content.size());
    }
    EXPECT_EQ(got, r.members);
    EXPECT_EQ(open(path, r.members.back().first), r.members.back().second);
  }
}

TEST_F(TarTest, MalformedRecordsAndSparseMapsEndTheWalk) {
  struct row {
    const char* what;
    std::string entries;  // after a good member "a", before a member "b"
    const char* outcome;
  };
  auto x = [](const std::string& records) { return tar_builder().pax(records).bytes; };
  auto sparse_01 = [&](const std::string& size, const std::string& map, const std::string& data) {
    return x(pax_record("GNU.sparse.size", size) + pax_record("GNU.sparse.map", map)) +
           tar_builder().member("s", data).bytes;
  };
  auto sparse_10 = [&](const std::string& map_text, uint64_t stored) {
    return x(pax_record("GNU.sparse.major", "1") + pax_record("GNU.sparse.minor", "0")) +
           tar_builder().header(tar_header("s", stored, '0'), map_text).bytes;
  };
  const row rows[] = {
      // Other readers disagree on where such an entry's data ends.
      {"a size that is not decimal", x(pax_record("size", "12a")), "corrupt"},
      {"a negative size", x(pax_record("size", "-1")), "corrupt"},
      {"a size beyond 2^63 - 1", x(pax_record("size", "9223372036854775808")), "corrupt"},
      {"a set over 1 MiB, refused before it is read",
       tar_header("big", 0, 'x', octal_field((1 << 20) + 1, 12)), "corrupt"},
      {"a set cut short by the archive's end",
       tar_builder().raw("cut", octal_field(1000, 12), 'x', pax_record("path", "b")).bytes,
       "truncated"},
      {"a 0.0 length without its offset", x(pax_record("GNU.sparse.numbytes", "1")), "corrupt"},
      {"two 0.0 offsets in a row",
       x(pax_record("GNU.sparse.offset", "0") + pax_record("GNU.sparse.offset", "1")), "corrupt"},
      {"a 0.0 offset left without its length",
       x(pax_record("GNU.sparse.size", "4") + pax_record("GNU.sparse.offset", "0")), "corrupt"},
      {"a 0.1 map of an odd count", sparse_01("4", "0,1,2", "x"), "corrupt"},
      {"a 0.1 map that is not decimal", sparse_01("4", "0,1x", "x"), "corrupt"},
      {"a segment past the member's end", sparse_01("4", "2,3", "xyz"), "corrupt"},
      {"segments out of order", sparse_01("10", "5,1,0,1", "xy"), "corrupt"},
      {"overlapping segments", sparse_01("10", "0,3,2,1", "xyzw"), "corrupt"},
      {"segments longer than the stored data", sparse_01("10", "0,5", "xy"), "corrupt"},
      {"a 1.0 map that is not decimal", sparse_10("1\n0\nx\n", 512), "corrupt"},
      // The map's blocks hold the lines whole: a line reaching a block's end goes
      // on in the next.
      {"a 1.0 map running past the stored data",
       sparse_10("2\n0\n1\n" + std::string(506, '0'), 512), "corrupt"},
      {"a 1.0 map cut short by the archive's end",
       x(pax_record("GNU.sparse.major", "1") + pax_record("GNU.sparse.minor", "0")) +
           tar_header("s", 1024, '0') + "2\n0\n1\n" + std::string(506, '0'),
       "truncated"},
      {"an old GNU segment past the real size",
       tar_builder().header(gnu_sparse_header("s", 4, 3, {{2, 3}}), "xyz").bytes, "corrupt"},
      {"an old GNU negative offset",
       tar_builder()
           .header(patched(gnu_sparse_header("s", 4, 1, {{0, 1}}), 386, std::string("-B\0", 3)),
                   "x")
           .bytes,
       "corrupt"},
      {"an old GNU extension block missing", gnu_sparse_header("s", 4, 1, {{0, 1}}, true),
       "truncated"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    std::string bytes = tar_builder().member("a", "1").bytes + r.entries;
    if (std::string(r.outcome) != "truncated") bytes += tar_builder().member("b", "2").end().bytes;
    std::string path = put("m.tar", bytes);
    for (bool readers : {false, true}) {
      recorder listing;
      EXPECT_EQ(outcome_of([&] { list(path, listing, readers); }), r.outcome);
      EXPECT_EQ(listing.names(), std::vector<std::string>{"a"});
    }
    EXPECT_EQ(outcome_of([&] { open(path, "b"); }), r.outcome);
  }
}

// A malformed pax record set names and sizes nothing: its entry keeps its
// header's name and size, the walk goes on, and fails where the archive
// ends, after every member before that was reported.
TEST_F(TarTest, MalformedRecordSetsAreIgnoredAndTheWalkFailsAtTheEnd) {
  struct row {
    const char* what;
    std::string entries;  // after a good member "a", before the member "b"
  };
  auto x = [](const std::string& records) { return tar_builder().pax(records).bytes; };
  auto g = [](const std::string& records) { return tar_builder().pax(records, 'g').bytes; };
  const row rows[] = {
      {"a record without length digits", x("path=p\n")},
      {"no space after the length", x("9:path=p\n")},
      {"a length of zero", x("0 =\n")},
      {"a length past the set", x("99 path=p\n")},
      {"no equals sign", x("8 pathp\n")},
      {"a last byte that is not a newline", x(std::string("11 path=pp\0", 11))},
      {"a last byte that is not a newline, before NUL padding",
       x(pax_record("path", "p") + "4 x=" + std::string(10, '\0'))},
      {"the records before a malformed one count neither",
       x(pax_record("path", "p") + pax_record("size", "700") + "8 pathp\n")},
      {"a malformed global set", g(pax_record("path", "G") + "8 pathp\n")},
      {"a global size that is not decimal", g(pax_record("path", "G") + pax_record("size", "x"))},
      {"a global size beyond 2^63 - 1", g(pax_record("size", "9223372036854775808"))},
  };
  const std::string zero(512, '\0');
  const std::pair<const char*, std::string> endings[] = {
      {"end blocks", zero + zero}, {"one end block", zero}, {"no end blocks", ""}};
  for (const row& r : rows) {
    for (const auto& [ending, end_bytes] : endings) {
      SCOPED_TRACE(testing::Message() << r.what << ", " << ending);
      std::string path =
          put("m.tar", tar_builder().member("a", "1").bytes + r.entries +
                           tar_builder().member("b", "2").member("c", "3").bytes + end_bytes);
      for (bool readers : {false, true}) {
        recorder listing;
        EXPECT_EQ(outcome_of([&] { list(path, listing, readers); }), "corrupt");
        EXPECT_EQ(listing.names(), (std::vector<std::string>{"a", "b", "c"}));
      }
      EXPECT_EQ(open(path, "b"), "2");
      EXPECT_EQ(open(path, "c"), "3");
      EXPECT_EQ(outcome_of([&] { open(path, "missing"); }), "corrupt");
    }
  }

  // The walk's state carries the damage: a walk resumed after it fails at
  // the end too.
  file_ptr archive;
  filesystem::g_open(
      archive,
      put("m.tar", tar_builder().pax("8 pathp\n").member("a", "1").member("b", "2").end().bytes)
          .c_str(),
      open_mode_read, abort_);
  tar_reader whole(archive, abort_);
  ASSERT_TRUE(whole.read_next_header());
  tar_reader resumed(archive, abort_, whole.state());
  ASSERT_TRUE(resumed.read_next_header());
  EXPECT_STREQ(resumed.name(), "b");
  EXPECT_THROW_EXACT(resumed.read_next_header(), exception_io_data, corrupted);

  // Any other failure on the way is reported as it is.
  std::string cut = put("m.tar", tar_builder().pax("8 pathp\n").member("a", "1").bytes +
                                     tar_header("b", 0, '0').substr(0, 100));
  recorder listing;
  EXPECT_EQ(outcome_of([&] { list(cut, listing, false); }), "truncated");
  EXPECT_EQ(listing.names(), std::vector<std::string>{"a"});
}

// What a content index keeps: a walk stopped after any member goes on from
// its state in a new walker, and a record alone extracts its member.
TEST_F(TarTest, WalksResumeFromTheirStateAndRecordsExtractAlone) {
  std::string path = put("r.tar", tar_builder()
                                      .pax(pax_record("path", "G"), 'g')
                                      .member("a", "1")
                                      .header(gnu_sparse_header("s", 4, 2, {{0, 1}, {3, 1}}), "xy")
                                      .pax(pax_record("path", "p"))
                                      .member("c", text_of(700, 'c'))
                                      .end()
                                      .bytes);
  file_ptr archive;
  filesystem::g_open(archive, path.c_str(), open_mode_read, abort_);
  tar_reader whole(archive, abort_);
  std::vector<tar_member> records;
  std::vector<tar_walk_state> states;
  while (whole.read_next_header()) {
    records.push_back(whole.member());
    states.push_back(whole.state());
  }
  ASSERT_EQ(records.size(), 3u);
  EXPECT_EQ(records[2].header_position, 512u * 6) << "the entry starts at its pax header";
  for (size_t stop = 0; stop < records.size(); ++stop) {
    SCOPED_TRACE(stop);
    tar_reader resumed(archive, abort_, states[stop]);
    for (size_t i = stop + 1; i < records.size(); ++i) {
      ASSERT_TRUE(resumed.read_next_header());
      EXPECT_STREQ(resumed.name(), records[i].name.get_ptr());
      EXPECT_EQ(resumed.member().data_position, records[i].data_position);
    }
    EXPECT_FALSE(resumed.read_next_header());
  }
  tar_reader fresh(archive, abort_);
  const std::string expected[] = {"1", std::string("x\0\0y", 4), text_of(700, 'c')};
  for (size_t i = 0; i < records.size(); ++i) {
    file_ptr member = fresh.extract_member(records[i]);
    EXPECT_EQ(read_all(*member), expected[i]);
  }
}

// Member paths stored before pax records and the ustar prefix were read
// named members by their long name or name field alone.
TEST_F(TarTest, StoredPathsOfTheOldNamingStillOpen) {
  std::string path = put("f.tar", tar_builder()
                                      .long_name("old/long-name")
                                      .pax(pax_record("path", "new/name"))
                                      .member("h", "A")
                                      .header(ustar_header("pre", "file", 1), "B")
                                      .member("file", "C")
                                      .end()
                                      .bytes);
  recorder listing;
  list(path, listing, false);
  EXPECT_EQ(listing.names(), (std::vector<std::string>{"new/name", "pre/file", "file"}));
  EXPECT_EQ(open(path, "new/name"), "A");
  EXPECT_EQ(open(path, "old/long-name"), "A");
  EXPECT_EQ(stats(path, "old/long-name").size, 1u);
  EXPECT_EQ(open(path, "pre/file"), "B");
  EXPECT_EQ(open(path, "file"), "C") << "a member of the new name comes before an old name";
  EXPECT_EQ(outcome_of([&] { open(path, "h"); }), "not_found")
      << "a name field under a pax path is not an old name: the long name was";

  // The walk that stored the path stopped at the member; a damaged entry
  // further on does not take it away, but still ends every other search.
  std::string damaged = tar_builder().header(ustar_header("pre", "only", 1), "D").bytes +
                        tar_builder().member("z", "9").bytes;
  damaged[1024 + 1] ^= 1;  // the next header's checksum no longer matches
  std::string damaged_path = put("d.tar", damaged + tar_builder().end().bytes);
  EXPECT_EQ(open(damaged_path, "only"), "D");
  EXPECT_EQ(outcome_of([&] { open(damaged_path, "absent"); }), "corrupt");
}

// ---------------------------------------------------------------------------
// Archives from real writers and from the fetched corpus, checked against an
// independent reading of the walk rules in Python
// (tests/support/tar_walk_oracle.py): headers, long names, pax records, the
// ustar prefix and sparse maps.

struct expected_member {
  std::string name;
  uint64_t size, offset;
  std::string extract;
  // A sparse member's segments, "offset:length,..."; "-" for the others.
  std::string segments;

  // The content the member must have, from the archive's `bytes`.
  std::string content(const std::string& bytes) const {
    if (segments == "-") return bytes.substr(offset, size);
    std::string out(size, '\0');
    uint64_t from = offset;
    std::istringstream list(segments);
    uint64_t at, length;
    char colon, comma;
    while (list >> at >> colon >> length) {
      out.replace(at, length, bytes, from, length);
      from += length;
      list >> comma;
    }
    return out;
  }
};

struct expected_archive {
  std::vector<expected_member> members;
  std::string end;
};

std::string unhex(const std::string& hex) {
  if (hex == "-") return "";
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return out;
}

std::string run_and_capture(const std::string& command) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char chunk[4096];
  for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, pipe)) > 0;) out.append(chunk, got);
  pclose(pipe);
  return out;
}

bool have_tool(const char* command) {
  return std::system((std::string(command) + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs the oracle (tests/support/tar_walk_oracle.py) over `paths`.
std::map<std::string, expected_archive> oracle(const std::vector<std::string>& paths) {
  std::string command = "python3 " SUPPORT_DIR "/tar_walk_oracle.py";
  for (const std::string& p : paths) command += " '" + p + "'";
  std::map<std::string, expected_archive> result;
  std::istringstream lines(run_and_capture(command));
  std::string line, current;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    std::string kind;
    words >> kind;
    if (kind == "archive") {
      current = line.substr(8);
    } else if (kind == "member") {
      expected_member m;
      std::string hex;
      words >> hex >> m.size >> m.offset >> m.extract >> m.segments;
      m.name = unhex(hex);
      result[current].members.push_back(m);
    } else if (kind == "end") {
      words >> result[current].end;
    }
  }
  return result;
}

class TarOracleTest : public TarTest {
 protected:
  // Checks every archive in `files` (paths on disk) against the oracle.
  void check_files(const std::vector<std::string>& files) {
    std::map<std::string, expected_archive> expected = oracle(files);
    ASSERT_EQ(expected.size(), files.size()) << "the oracle did not run";
    for (const std::string& file : files) {
      SCOPED_TRACE(file);
      std::string bytes = read_file(file);
      check_against(put("archive.tar", bytes), bytes, expected[file]);
    }
  }

  // Listing with and without readers, and opening each name, agree with
  // the oracle's reading of `bytes`.
  void check_against(const std::string& path, const std::string& bytes,
                     const expected_archive& expected) {
    recorder without;
    EXPECT_EQ(outcome_of([&] { list(path, without, false); }), expected.end);
    std::vector<std::string> names = without.names();
    ASSERT_EQ(names.size(), expected.members.size());
    for (size_t i = 0; i < names.size(); ++i) {
      EXPECT_EQ(names[i], expected.members[i].name);
      EXPECT_EQ(without.members[i].size, expected.members[i].size);
    }

    // With readers the walk stops at the first member that cannot be held.
    size_t held = 0;
    std::string end = expected.end;
    for (; held < expected.members.size(); ++held) {
      if (expected.members[held].extract != "ok") {
        end = expected.members[held].extract;
        break;
      }
    }
    recorder with;
    EXPECT_EQ(outcome_of([&] { list(path, with, true); }), end);
    ASSERT_EQ(with.members.size(), held);
    for (size_t i = 0; i < held; ++i) {
      const expected_member& m = expected.members[i];
      EXPECT_TRUE(with.members[i].content == m.content(bytes)) << m.name;
    }

    std::map<std::string, const expected_member*> first;
    for (const expected_member& m : expected.members) first.emplace(m.name, &m);
    for (const auto& [name, m] : first) {
      SCOPED_TRACE(name);
      std::string content;
      std::string outcome = outcome_of([&] { content = open(path, name); });
      EXPECT_EQ(outcome, m->extract);
      if (outcome == "ok") {
        EXPECT_TRUE(content == m->content(bytes));
      }
    }
  }
};

TEST_F(TarOracleTest, RealWritersInEveryFormat) {
  if (!have_tool("tar --version") || !have_tool("python3 --version"))
    GTEST_SKIP() << "GNU tar and python3 are needed to write the test archives";
  temp_folder dir{"brenmoor-tar"};
  // Too long for the name field, short enough for the ustar prefix split.
  const std::string long_name = "dir/sub/" + std::string(90, 'n') + ".txt";
  std::string script =
      "set -e; cd '" + dir.path() +
      "'; mkdir -p src/dir/sub; cd src;"
      "printf hello > a.txt; : > empty;"
      "head -c 512 /dev/zero | tr '\\0' b > b512; head -c 513 /dev/zero | tr '\\0' c > c513;"
      "printf long > '" +
      long_name +
      "'; ln -s a.txt sym; ln a.txt hard;"
      "for f in gnu oldgnu ustar posix; do"
      "  tar --format=$f --sort=name --mtime=@0 --owner=0 --group=0 -cf ../$f.tar .; done;"
      "tar --format=v7 --sort=name --mtime=@0 -cf ../v7.tar a.txt empty b512 c513 sym hard"
      " --no-recursion dir;"
      "python3 -c \"import tarfile\n"
      "for n, f in (('py-gnu', tarfile.GNU_FORMAT), ('py-pax', tarfile.PAX_FORMAT),"
      " ('py-ustar', tarfile.USTAR_FORMAT)):\n"
      "    with tarfile.open('../' + n + '.tar', 'w', format=f) as t:\n"
      "        for p in ('a.txt', 'empty', 'b512', 'c513', 'dir', 'sym', 'hard'):\n"
      "            t.add(p)\n\"";
  ASSERT_EQ(std::system(script.c_str()), 0);
  std::vector<std::string> files;
  for (const char* name : {"gnu", "oldgnu", "ustar", "posix", "v7", "py-gnu", "py-pax", "py-ustar"})
    files.push_back(dir.path() + "/" + name + ".tar");
  check_files(files);

  // Beyond agreeing with the oracle: what each writer's archive must hold.
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    std::string path = put("w.tar", read_file(file));
    recorder r;
    list(path, r, true);
    std::map<std::string, std::string> by_name;
    std::vector<std::string> names = r.names();
    for (size_t i = 0; i < names.size(); ++i) by_name[names[i]] = r.members[i].content;
    // GNU tar stores "./name", Python "name".
    auto content_of = [&](const std::string& name) {
      auto found = by_name.find(name);
      if (found == by_name.end()) found = by_name.find("./" + name);
      return found == by_name.end() ? std::string("<missing>") : found->second;
    };
    EXPECT_EQ(content_of("a.txt"), "hello");
    EXPECT_EQ(content_of("empty"), "");
    EXPECT_EQ(content_of("b512"), std::string(512, 'b'));
    EXPECT_EQ(content_of("c513"), std::string(513, 'c'));
    for (const std::string& name : names) {
      EXPECT_TRUE(name.empty() || name.back() != '/') << "directories are not members";
      EXPECT_EQ(name.find("sym"), std::string::npos) << "links are not members";
      EXPECT_EQ(name.find("hard"), std::string::npos) << "links are not members";
    }
    if (file.find("gnu") != std::string::npos) {
      EXPECT_EQ(content_of(long_name), "long") << "the long name is reported whole";
    }
  }
}

TEST_F(TarOracleTest, FetchedCorpus) {
  const std::string corpus = std::string(SHARED_DIR) + "/corpus/fetched";
  if (!std::filesystem::is_directory(corpus))
    GTEST_SKIP() << "the shared corpus is not present at " << corpus;
  if (!have_tool("python3 --version")) GTEST_SKIP() << "python3 is needed for the walk oracle";
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(corpus))
    if (entry.is_regular_file() && entry.path().extension() == ".tar")
      files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  ASSERT_FALSE(files.empty());
  temp_folder dir{"brenmoor-tar"};
  check_files(files);
}

// ---------------------------------------------------------------------------
// Archives as today's writers make them, read as bsdtar reads them.

struct listed_file {
  std::string name;
  uint64_t size;
  bool operator==(const listed_file&) const = default;
  friend std::ostream& operator<<(std::ostream& out, const listed_file& f) {
    return out << f.name << " (" << f.size << ")";
  }
};

// The regular files ("-" lines) of `bsdtar -tv` on `archive`, in order.
std::vector<listed_file> bsdtar_regular_files(const std::string& archive) {
  std::vector<listed_file> out;
  std::istringstream lines(run_and_capture("LC_ALL=C.UTF-8 bsdtar -tvf '" + archive + "'"));
  std::string line;
  while (std::getline(lines, line)) {
    if (line.empty() || line[0] != '-') continue;
    // Mode, links, owner, group, size, month, day, year or time, name.
    std::istringstream fields(line);
    std::string word, size, name;
    for (int i = 0; i < 8; ++i) {
      fields >> word;
      if (i == 4) size = word;
    }
    fields.get();
    std::getline(fields, name);
    out.push_back({name, std::stoull(size)});
  }
  return out;
}

class TarWritersTest : public TarTest {
 protected:
  // The listing of `archive` (a file on disk) with readers equals bsdtar's
  // regular files, and each member's bytes bsdtar's extraction of it.
  void check_like_bsdtar(const temp_folder& dir, const std::string& archive) {
    SCOPED_TRACE(archive);
    std::vector<listed_file> expected = bsdtar_regular_files(archive);
    ASSERT_FALSE(expected.empty()) << "bsdtar listed nothing";
    std::string out = dir.path() + "/extracted";
    std::filesystem::remove_all(out);
    std::filesystem::create_directory(out);
    ASSERT_EQ(std::system(("LC_ALL=C.UTF-8 bsdtar -xf '" + archive + "' -C '" + out + "'").c_str()),
              0);
    recorder r;
    list(put("w.tar", read_file(archive)), r, true);
    std::vector<std::string> names = r.names();
    std::vector<listed_file> got;
    for (size_t i = 0; i < names.size(); ++i) got.push_back({names[i], r.members[i].size});
    EXPECT_EQ(got, expected);
    for (size_t i = 0; i < names.size(); ++i)
      EXPECT_TRUE(r.members[i].content == read_file(out + "/" + names[i])) << names[i];
  }
};

TEST_F(TarWritersTest, EveryWriterAndFormatListsAsBsdtarReadsIt) {
  if (!have_tool("bsdtar --version") || !have_tool("tar --version") ||
      !have_tool("python3 --version"))
    GTEST_SKIP() << "bsdtar, GNU tar and python3 are needed to write and read the test archives";
  temp_folder dir{"brenmoor-tar"};
  // Paths of 100 to 1000 bytes: 100 fills the name field, 155 and 156 need
  // the ustar prefix, 256 is the longest ustar holds, the rest need long
  // names or pax records. Then non-ASCII names, and a file with holes.
  const std::vector<std::string> paths = {
      std::string(100, 'f'),
      std::string(49, 'd') + "/" + std::string(51, 'f'),
      std::string(54, 'd') + "/" + std::string(100, 'f'),
      std::string(55, 'd') + "/" + std::string(100, 'f'),
      std::string(155, 'd') + "/" + std::string(100, 'f'),
      [] {
        std::string p;
        for (int i = 0; i < 9; ++i) p += std::string(99, 'd') + "/";
        return p + std::string(100, 'f');
      }(),
      "plain.txt",
      "Bj\xC3\xB8rk \xE2\x80\x93 J\xC3\xB3ga.flac",
      [] {
        std::string p = "m\xC3\xBAsica/";
        for (int i = 0; i < 60; ++i) p += "\xC3\xBC";
        return p + ".flac";
      }(),
  };
  std::string list_file = dir.path() + "/paths";
  {
    std::ofstream out(list_file);
    for (const std::string& p : paths) out << p << "\n";
  }
  std::string script =
      "set -e; cd '" + dir.path() +
      "'; mkdir src; cd src;"
      "python3 -c \"import os\n"
      "for p in open('../paths').read().split('\\n')[:-1]:\n"
      "    os.makedirs(os.path.dirname(p) or '.', exist_ok=True)\n"
      "    open(p, 'w').write('content of ' + p[-20:])\n"
      "with open('sparse.bin', 'wb') as f:\n"
      "    f.seek(1 << 20); f.write(b'A' * 5000); f.seek(2 << 20); f.write(b'B' * 100)\n"
      "    f.truncate(3 << 20)\n\";"
      "mkdir empty-folder; ln -s plain.txt link;"
      "for f in gnu oldgnu ustar posix; do"
      "  tar --format=$f --sort=name -cf ../gnu-$f.tar * 2>/dev/null || true; done;"
      // ustar has no sparse form: GNU tar refuses -S there.
      "for f in gnu oldgnu posix; do"
      "  tar --format=$f --sort=name -S -cf ../gnu-$f-sparse.tar * 2>/dev/null || true; done;"
      "for f in ustar pax gnutar; do bsdtar --format=$f -cf ../bsd-$f.tar * 2>/dev/null || true;"
      " done;"
      "python3 -c \"import os, tarfile\n"
      "names = open('../paths').read().split('\\n')[:-1] + ['sparse.bin', 'link']\n"
      "for n, f in (('pax', tarfile.PAX_FORMAT), ('ustar', tarfile.USTAR_FORMAT),"
      " ('gnu', tarfile.GNU_FORMAT)):\n"
      "    with tarfile.open('../py-' + n + '.tar', 'w', format=f) as t:\n"
      "        for p in names:\n"
      "            try:\n"
      "                t.add(p)\n"
      "            except ValueError:\n"
      "                pass  # too long for the format\n\"";
  ASSERT_EQ(std::system(script.c_str()), 0);
  for (const char* name :
       {"gnu-gnu", "gnu-oldgnu", "gnu-ustar", "gnu-posix", "gnu-gnu-sparse", "gnu-oldgnu-sparse",
        "gnu-posix-sparse", "bsd-ustar", "bsd-pax", "bsd-gnutar", "py-pax", "py-ustar", "py-gnu"})
    check_like_bsdtar(dir, dir.path() + "/" + name + ".tar");

  // The formats that hold every path must list every one, the sparse file
  // at its real size.
  recorder r;
  list(put("w.tar", read_file(dir.path() + "/gnu-posix-sparse.tar")), r, false);
  std::vector<std::string> names = r.names();
  for (const std::string& p : paths)
    EXPECT_NE(std::find(names.begin(), names.end(), p), names.end()) << p;
  auto sparse = std::find(names.begin(), names.end(), "sparse.bin");
  ASSERT_NE(sparse, names.end());
  EXPECT_EQ(r.members[sparse - names.begin()].size, 3u << 20);
}

// Archives of the fetched corpus that end without two end blocks (at a
// header's place, or after one end block), and one whose pax record set is
// malformed, read as bsdtar reads them: the same regular files and sizes,
// each opening to bsdtar's bytes. The malformed one then fails, as bsdtar
// exits with failure after listing.
TEST_F(TarWritersTest, CorpusFilesEndingEarlyOrMalformedReadAsBsdtarReadsThem) {
  const std::string corpus = std::string(SHARED_DIR) + "/corpus/fetched";
  if (!std::filesystem::is_directory(corpus))
    GTEST_SKIP() << "the shared corpus is not present at " << corpus;
  if (!have_tool("bsdtar --version")) GTEST_SKIP() << "bsdtar is needed to read the corpus files";
  struct row {
    const char* file;
    std::vector<listed_file> listing;
    const char* outcome;
  };
  const row rows[] = {
      // The last member holds 512 MiB, nearly all holes.
      {"go/tar/gnu-incremental.tar", {{"test2/foo", 64}, {"test2/sparse", 536870912}}, "ok"},
      {"go/tar/pax-pos-size-file.tar", {{"foo", 999}}, "ok"},
      {"libarchive/test_read_format_gtar_sparse_length.tar",
       {{"dir/GNUSparseFile.0/file1", 1279}},
       "ok"},
      {"go/tar/pax-bad-hdr-file.tar", {{"foo", 684}}, "corrupt"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.file);
    const std::string file = corpus + "/" + r.file;
    EXPECT_EQ(bsdtar_regular_files(file), r.listing);
    std::string path = put("c.tar", read_file(file));
    recorder listing;
    EXPECT_EQ(outcome_of([&] { list(path, listing, false); }), r.outcome);
    std::vector<std::string> names = listing.names();
    std::vector<listed_file> got;
    for (size_t i = 0; i < names.size(); ++i) got.push_back({names[i], listing.members[i].size});
    EXPECT_EQ(got, r.listing);
    for (const listed_file& f : r.listing) {
      SCOPED_TRACE(f.name);
      file_ptr member;
      filesystem::g_open(member, member_path(path, f.name).c_str(), open_mode_read, abort_);
      EXPECT_EQ(member->get_size(abort_), f.size);
      EXPECT_TRUE(same_bytes_as_output(
          [&](char* out, size_t n) { return member->read(out, static_cast<uint32_t>(n), abort_); },
          "bsdtar -xOf '" + file + "' '" + f.name + "'"));
    }
  }
}

TEST_F(TarWritersTest, GitArchiveListsAsBsdtarReadsIt) {
  if (!have_tool("git --version") || !have_tool("bsdtar --version"))
    GTEST_SKIP() << "git and bsdtar are needed to write and read the test archive";
  temp_folder dir{"brenmoor-tar"};
  // git writes a pax global header, the ustar prefix for paths up to 256
  // bytes and pax records beyond.
  std::string prefixed = std::string(120, 'p') + "/" + std::string(60, 'f');
  std::string long_path = std::string(200, 'q') + "/" + std::string(150, 'g');
  std::string script = "set -e; cd '" + dir.path() + "'; git init -q repo; cd repo; mkdir " +
                       prefixed.substr(0, 120) + " " + long_path.substr(0, 200) + "; echo one > " +
                       prefixed + "; echo two > " + long_path +
                       "; printf 'caf\\303\\251\\n' > 'caf\xC3\xA9.txt'; echo readme > README;"
                       "git add -A; git -c user.name=t -c user.email=t@example.com commit -qm c;"
                       "git archive --format=tar -o ../git.tar HEAD";
  ASSERT_EQ(std::system(script.c_str()), 0);
  check_like_bsdtar(dir, dir.path() + "/git.tar");
  recorder r;
  list(put("git.tar", read_file(dir.path() + "/git.tar")), r, false);
  EXPECT_EQ(r.names(),
            (std::vector<std::string>{"README", "caf\xC3\xA9.txt", prefixed, long_path}));
}

}  // namespace
