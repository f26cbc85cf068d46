#include "component/config.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "io/file_buffer.h"
#include "tests/support/expect_throw.h"
#include "tests/support/test_host.h"

using namespace sonovale_io;

namespace {

abort_callback_dummy no_abort;

constexpr GUID id_a = {0x01020304, 0x0506, 0x0708, {9, 10, 11, 12, 13, 14, 15, 16}};
constexpr GUID id_b = {0xA0A1A2A3, 0xB0B1, 0xC0C1, {0xD0, 1, 2, 3, 4, 5, 6, 7}};
constexpr GUID id_unknown = {0xFFFFFFFF, 0, 0, {0, 0, 0, 0, 0, 0, 0, 1}};

// The record's identifier bytes: three little-endian numbers, then 8 bytes.
std::string id_bytes(const GUID& g) {
  std::string s;
  for (int i = 0; i < 4; ++i) s += static_cast<char>(g.Data1 >> (8 * i));
  for (int i = 0; i < 2; ++i) s += static_cast<char>(g.Data2 >> (8 * i));
  for (int i = 0; i < 2; ++i) s += static_cast<char>(g.Data3 >> (8 * i));
  s.append(reinterpret_cast<const char*>(g.Data4), 8);
  return s;
}

std::string le32(uint32_t n) {
  std::string s;
  for (int i = 0; i < 4; ++i) s += static_cast<char>(n >> (8 * i));
  return s;
}

std::string record(const GUID& id, const std::string& payload) {
  return id_bytes(id) + le32(static_cast<uint32_t>(payload.size())) + payload;
}

// A plain stream (not a file): skips by reading.
class string_stream : public stream_reader {
 public:
  explicit string_stream(std::string data) : data_(std::move(data)) {}
  uint32_t read(void* buffer, uint32_t count, abort_callback&) override {
    size_t n = std::min<size_t>(count, data_.size() - at_);
    std::memcpy(buffer, data_.data() + at_, n);
    at_ += n;
    return static_cast<uint32_t>(n);
  }
  size_t consumed() const { return at_; }

 private:
  std::string data_;
  size_t at_ = 0;
};

// Records every write call.
class recording_writer : public stream_writer {
 public:
  void write(const void* buffer, uint32_t count, abort_callback&) override {
    calls.emplace_back(static_cast<const char*>(buffer), count);
  }
  std::string all() const {
    std::string s;
    for (const auto& c : calls) s += c;
    return s;
  }
  std::vector<std::string> calls;
};

// A loader that records what its records held, read in 3-byte pieces up to
// `take` bytes, and then does whatever `then` says.
class test_loader : public config_loader {
 public:
  explicit test_loader(const GUID& id, size_t take = SIZE_MAX) : config_loader(id), take_(take) {}
  ~test_loader() = default;

  void load_config_data(stream_reader* source, uint32_t size, abort_callback& abort) override {
    sizes.push_back(size);
    std::string got;
    char piece[3];
    while (got.size() < take_) {
      uint32_t n = source->read(piece, sizeof piece, abort);
      got.append(piece, n);
      if (n < sizeof piece) break;
    }
    payloads.push_back(got);
    if (then) then();
  }

  std::vector<uint32_t> sizes;
  std::vector<std::string> payloads;
  std::function<void()> then;

 private:
  size_t take_;
};

class test_saver : public config_saver {
 public:
  test_saver(const GUID& id, std::vector<std::string> pieces)
      : config_saver(id), pieces_(std::move(pieces)) {}
  ~test_saver() = default;

  void save_config_data(stream_writer* target, abort_callback& abort) override {
    for (const auto& p : pieces_) target->write(p.data(), static_cast<uint32_t>(p.size()), abort);
  }

 private:
  std::vector<std::string> pieces_;
};

}  // namespace

TEST(ConfigRegistry, ItemsUnlinkWhenDestroyed) {
  EXPECT_EQ(config_loader_head(), nullptr);
  EXPECT_EQ(config_saver_head(), nullptr);
  {
    test_loader first(id_a);
    {
      test_loader second(id_b);
      test_saver saver(id_a, {});
      EXPECT_EQ(config_loader_head(), &second);
      EXPECT_EQ(second.next, &first);
      EXPECT_EQ(config_saver_head(), &saver);
    }
    EXPECT_EQ(config_loader_head(), &first);
    EXPECT_EQ(first.next, nullptr);
    EXPECT_EQ(config_saver_head(), nullptr);
  }
  EXPECT_EQ(config_loader_head(), nullptr);
}

TEST(WriteConfig, EmptyRegistryWritesNothing) {
  recording_writer out;
  write_config(out, no_abort);
  EXPECT_TRUE(out.calls.empty());
}

TEST(WriteConfig, OneRecordPerSaverInRegistryOrder) {
  test_saver later_in_walk(id_a, {"abc", "", "defg"});
  test_saver empty(id_unknown, {});
  test_saver first_in_walk(id_b, {std::string(70000, 'z')});
  recording_writer out;
  write_config(out, no_abort);
  // Three writes per record, the payload's left out when it is empty.
  ASSERT_EQ(out.calls.size(), 8u);
  EXPECT_EQ(out.calls[0], id_bytes(id_b));
  EXPECT_EQ(out.calls[1], le32(70000));
  EXPECT_EQ(out.calls[2], std::string(70000, 'z'));
  EXPECT_EQ(out.calls[3], id_bytes(id_unknown));
  EXPECT_EQ(out.calls[4], le32(0));
  EXPECT_EQ(out.calls[5], id_bytes(id_a));
  EXPECT_EQ(out.calls[6], le32(7));
  EXPECT_EQ(out.calls[7], "abcdefg");
}

TEST(WriteConfig, AbortAndOversizeStopTheWriter) {
  recording_writer out;
  abort_callback_impl aborting;
  aborting.abort();
  {
    test_saver silent(id_a, {});
    write_config(out, aborting);  // nothing appended, so nothing polled
    EXPECT_EQ(out.calls.size(), 2u);
  }
  out.calls.clear();
  {
    test_saver second(id_a, {"x"});
    test_saver first(id_b, {});
    EXPECT_THROW_EXACT(write_config(out, aborting), exception_aborted, "User abort");
    EXPECT_EQ(out.calls.size(), 2u);  // the record written before stays
  }

  // A payload past 2^32 - 1 bytes is refused before anything is copied.
  class huge_saver : public config_saver {
   public:
    huge_saver() : config_saver(id_a) {}
    void save_config_data(stream_writer* target, abort_callback& abort) override {
      char byte = 0;
      target->write(&byte, 1, abort);
      target->write(&byte, UINT32_MAX, abort);
    }
  } huge;
  EXPECT_THROW_EXACT(write_config(out, no_abort), plix::bad_alloc, "bad allocation");
}

TEST(ReadConfig, UnknownRecordsAndFragmentsAreSkipped) {
  struct stream_case {
    const char* what;
    std::string data;
  };
  const stream_case cases[] = {
      {"empty", ""},
      {"10-byte fragment", std::string(10, 'q')},
      {"record then 5-byte fragment", record(id_unknown, "abc") + "12345"},
      {"two records", record(id_unknown, std::string(5000, 'p')) + record(id_a, "")},
      {"15-byte fragment after a record", record(id_b, "x") + std::string(15, '\0')},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    string_stream stream(c.data);
    read_config(stream, no_abort);
    EXPECT_EQ(stream.consumed(), c.data.size());
    file_ptr file = make_file_buffer(0, 0);
    file->write(c.data.data(), static_cast<uint32_t>(c.data.size()), no_abort);
    file->reopen(no_abort);
    read_config(*file, no_abort);
    EXPECT_EQ(file->get_position(no_abort), c.data.size());
  }
}

TEST(ReadConfig, CutOffRecordsFailAsTheStreamReports) {
  struct cut_case {
    const char* what;
    std::string data;
  };
  const cut_case cases[] = {
      {"two bytes into the size", id_bytes(id_unknown) + "\x03\x00"},
      {"payload shorter than its size, seekable skip", id_bytes(id_unknown) + le32(5000) + "abc"},
      {"payload shorter than its size, after a record",
       record(id_unknown, "") + id_bytes(id_a) + le32(4)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    string_stream stream(c.data);
    EXPECT_THROW_EXACT(read_config(stream, no_abort), exception_io_data_truncation,
                       "Unsupported format or corrupted file");
    file_ptr file = make_file_buffer(0, 0);
    file->write(c.data.data(), static_cast<uint32_t>(c.data.size()), no_abort);
    file->reopen(no_abort);
    EXPECT_THROW_EXACT(read_config(*file, no_abort), exception_io_data_truncation,
                       "Unsupported format or corrupted file");
  }
}

TEST(ReadConfig, LoadersSeeOnlyTheirRecord) {
  test_loader whole(id_a);
  test_loader partial(id_b, 4);
  std::string data = record(id_b, "0123456789") + record(id_unknown, "zz") + record(id_a, "") +
                     record(id_a, "hello") + record(id_b, "ab");
  string_stream stream(data);
  read_config(stream, no_abort);
  EXPECT_EQ(stream.consumed(), data.size());
  EXPECT_EQ(whole.payloads, (std::vector<std::string>{"", "hello"}));
  EXPECT_EQ(whole.sizes, (std::vector<uint32_t>{0, 5}));
  // Read in 3-byte pieces until 4 bytes were had; the rest was skipped.
  EXPECT_EQ(partial.payloads, (std::vector<std::string>{"012345", "ab"}));
  EXPECT_EQ(partial.sizes, (std::vector<uint32_t>{10, 2}));
}

TEST(ReadConfig, RoundTripsWhatWasWritten) {
  test_saver saver_a(id_a, {"first ", "setting"});
  test_saver saver_b(id_b, {std::string(3000, '\x01')});
  recording_writer out;
  write_config(out, no_abort);
  test_loader loader_a(id_a), loader_b(id_b);
  string_stream stream(out.all());
  read_config(stream, no_abort);
  EXPECT_EQ(loader_a.payloads, (std::vector<std::string>{"first setting"}));
  EXPECT_EQ(loader_b.payloads, (std::vector<std::string>{std::string(3000, '\x01')}));
}

TEST(ReadConfig, LaterLoaderInTheWalkWinsADuplicate) {
  test_loader met_last(id_a);  // linked first, so the walk meets it last
  test_loader met_first(id_a);
  string_stream stream(record(id_a, "x"));
  read_config(stream, no_abort);
  EXPECT_EQ(met_last.payloads.size(), 1u);
  EXPECT_TRUE(met_first.payloads.empty());
}

TEST(ReadConfig, CorruptDataFailuresOfALoaderAreDropped) {
  test_loader loader(id_a, 1);
  std::string data = record(id_a, "first") + record(id_a, "second") + record(id_a, "third");
  int calls = 0;
  loader.then = [&] {
    ++calls;
    if (calls == 1) throw exception_io_data();
    if (calls == 2) throw exception_io_data_truncation();
  };
  string_stream stream(data);
  read_config(stream, no_abort);
  EXPECT_EQ(loader.payloads, (std::vector<std::string>{"fir", "sec", "thi"}));
  EXPECT_EQ(stream.consumed(), data.size());
}

TEST(ReadConfig, OtherFailuresOfALoaderPropagate) {
  test_loader loader(id_a, 0);
  std::string data = record(id_a, "payload") + record(id_a, "never read");
  loader.then = [] { throw exception_aborted(); };
  string_stream aborted(data);
  EXPECT_THROW_EXACT(read_config(aborted, no_abort), exception_aborted, "User abort");
  loader.then = [] { throw exception_io_denied(); };
  string_stream denied(data);
  EXPECT_THROW_EXACT(read_config(denied, no_abort), exception_io_denied, "Access denied");
  EXPECT_EQ(loader.payloads.size(), 2u);
}

TEST(ReadConfig, KnownRecordCutShortFailsAfterTheLoader) {
  test_loader loader(id_a);
  std::string data = id_bytes(id_a) + le32(100) + "only this";
  string_stream stream(data);
  EXPECT_THROW_EXACT(read_config(stream, no_abort), exception_io_data_truncation,
                     "Unsupported format or corrupted file");
  EXPECT_EQ(loader.payloads, (std::vector<std::string>{"only this"}));
}
